// The remote administration wired to a test server as the console wires it (commands the
// core does not know go to it), for the tests that play hostile clients against both.
// Test thread only.
#pragma once

#include <string>
#include <utility>

#include "console/RemoteAdmin.h"
#include "support/FakeAdminHost.h"
#include "support/TestServer.h"

class AdminRig {
  public:
    AdminRig(TestServer& rig, const std::string& dir, TRemoteAdminTiming timing = {})
        : rig_(rig), host_(rig.Server(), dir), admin_(host_, std::move(timing)) {
        rig_.Server().OnCommandOther = [this](TNetPeerThread& thread, const std::string& command,
                                              const std::string& parm) {
            admin_.HandleCommand(thread, command, parm);
        };
    }
    // Connection threads call into the administration: they end before it goes, also when
    // a test fails half-way.
    ~AdminRig() { rig_.Stop(); }
    AdminRig(const AdminRig&) = delete;
    AdminRig& operator=(const AdminRig&) = delete;

    FakeAdminHost& Host() { return host_; }
    TRemoteAdmin& Admin() { return admin_; }

  private:
    TestServer& rig_;
    FakeAdminHost host_;
    TRemoteAdmin admin_;
};
