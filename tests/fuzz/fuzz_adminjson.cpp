// libFuzzer target for the admin endpoint's JSON reader: any line must be read without a
// crash into a request or an error, every argument must decode or be refused, and any
// bytes must come back unchanged from the wire form they are written in (a JSON string
// when valid UTF-8, else base64), through a serialised line as a client would read it.
// Build: see run_fuzzers.sh (clang++-14, Qt Core through pkg-config, -fPIC).
#include <QJsonDocument>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/AdminJson.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "admin JSON broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray line(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const TAdminRequest request = ParseAdminRequest(line);
    Check(!request.Error.empty() || request.Args.value(QStringLiteral("cmd")).isString(),
          "a request without a string cmd has no error");
    for (auto it = request.Args.begin(); it != request.Args.end(); ++it) {
        (void)JsonBytes(it.value());
        (void)JsonLobbyRef(it.value());
    }
    if (!request.Error.empty()) (void)ErrorLine(request.Id, request.Error);

    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const QByteArray wire = ObjectLine({{QStringLiteral("nick"), BytesJson(bytes)}});
    Check(wire.endsWith('\n') && wire.count('\n') == 1, "one line");
    const QJsonObject read = QJsonDocument::fromJson(wire).object();
    const auto back = JsonBytes(read.value(QStringLiteral("nick")));
    Check(back.has_value() && *back == bytes, "bytes round trip");
    return 0;
}
