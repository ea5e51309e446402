// Base of every networking object (servers and connections). The first one created starts
// the socket layer (SIGPIPE ignored, open-file limit raised, the flusher threads started);
// the last one to go stops the flushers. Construction and destruction may happen on any
// thread: the count is atomic because connections are created and released on different
// threads.
#pragma once

class TNetComponent {
  public:
    TNetComponent();
    virtual ~TNetComponent();
    TNetComponent(const TNetComponent&) = delete;
    TNetComponent& operator=(const TNetComponent&) = delete;

    static int LiveCount();
};
