// cvcli: a command-line client of Corvane servers over the client library.
//   cvcli SERVER info | load CMDLINE | unload NAME | run FILE | param NAME [VALUE]
//         | params | connections | send CONN TEXT | clear CONN | messages [--wait MS]
//   cvcli audit SERVER [--action A] [--user U] [-n N]
//   cvcli --dir trees | list TREE [CONTAINER] | read TREE NAME [ATTRIBUTE...] | id SERVER ID
// A failure prints its code with the message the control shows for it.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <strings.h>
#include <string>
#include <thread>
#include <vector>

#include "corvane/client/cverrors.h"
#include "corvane/client/cvfailure.h"
#include "corvane/client/cvmessages.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "audit.h"
#include "directory.h"
#include "errors.h"
#include "stringtable.h"

namespace {

constexpr const char* kUsage =
    "usage: cvcli SERVER info | load CMDLINE | unload NAME | run FILE | param NAME [VALUE]\n"
    "             | params | connections | send CONN TEXT | clear CONN | messages [--wait MS]\n"
    "       cvcli audit SERVER [--action A] [--user U] [-n N]\n"
    "       cvcli --dir trees | list TREE [CONTAINER] | read TREE NAME [ATTRIBUTE...] | id SERVER ID\n"
    "       cvcli --help\n";

constexpr const char* kHelp =
    "\n"
    "  info                  the server's name, version, description, company and connections in use\n"
    "  load CMDLINE          load a QRX module: \"NAME [args]\"\n"
    "  unload NAME           unload a module by its name or by one of its console commands\n"
    "  run FILE              run a QBT command file\n"
    "  param NAME [VALUE]    show a server parameter; with VALUE set it first (as a number\n"
    "                        when VALUE is one and the parameter takes numbers, else as text)\n"
    "  params                every server parameter\n"
    "  connections           the occupied connection slots: number, user, login time, address\n"
    "  send CONN TEXT        queue a broadcast message for connection number CONN\n"
    "  clear CONN            clear connection number CONN (the server closes it)\n"
    "  messages [--wait MS]  print the broadcast messages queued for this command's own\n"
    "                        connection; with --wait, wait up to MS milliseconds until one comes\n"
    "\n"
    "  audit SERVER [--action A] [--user U] [-n N]\n"
    "                        the last N (default 20, at most 1000) records of the server's audit\n"
    "                        trail, of action A (load, login, param, ...) and user U only when\n"
    "                        given; console operators only, through the call service (RFC)\n"
    "\n"
    "  --dir trees           the directory trees of client.ini's [Trees]\n"
    "  --dir list TREE [CONTAINER]\n"
    "                        the objects in a container (dotted, leaf first; the tree's root\n"
    "                        when left out) with their classes, the whole container batch by batch\n"
    "  --dir read TREE NAME [ATTRIBUTE...]\n"
    "                        an object's name, class and attributes (all of them when none is named)\n"
    "  --dir id SERVER ID    the dotted name of the object with that id (a user's uidNumber)\n"
    "\n"
    "Broadcast messages queue per connection. Every cvcli run logs in as a new connection,\n"
    "and a connection's queue ends with it: a message sent to the connection number of a run\n"
    "that has ended is gone, even when a later login gets the same number. To receive messages,\n"
    "keep 'cvcli SERVER messages --wait MS' running and send to the number it holds (see\n"
    "'cvcli SERVER connections').\n"
    "\n"
    "Servers, user and password file come from client.ini: $CORVANE_CLIENT, else\n"
    "$XDG_CONFIG_HOME/corvane/client.ini. Connections are TLS 1.3; a server met for the\n"
    "first time is recorded in known_servers beside client.ini, and a server whose\n"
    "certificate no longer matches that record is refused (see the README, \"Reaching servers\").\n"
    "Exit status: 0 success; 1 a failure, printed with its code and message; 2 bad arguments.\n";

int Fail(const char* what, std::uint32_t code) {
  const auto message = cvsrva::LoadString(cvsrva::MessageIdForCode(static_cast<std::int32_t>(code)));
  std::fprintf(stderr, "cvcli: %s: %u (0x%X) %.*s\n", what, code, code, static_cast<int>(message.size()),
               message.data());
  // What the library knows beyond the code (a server whose identity
  // changed, a version mismatch, a failed handshake).
  char why[2048] = {};
  if (CvGetFailureText(why, sizeof why) == kCvOk && why[0] != '\0') std::fprintf(stderr, "cvcli: %s\n", why);
  return 1;
}

// Why the load just made failed, as the server recorded it: only a failure
// that happened during this call counts (an older one is another story).
void PrintLoadFailure(std::uint32_t h, const std::string& module, std::chrono::steady_clock::time_point began) {
  CvModuleStatus status{};
  if (CvGetModuleStatus(h, module.c_str(), &status) != kCvOk) return;
  const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began);
  if (status.loaded) {
    std::fprintf(stderr, "cvcli: reason: %s is already loaded (process %u)\n", module.c_str(), status.processId);
  } else if (status.lastFailure[0] != '\0' && status.failureAgeSeconds <= took.count() + 1) {
    // The reason, then the program's last output lines: the one that names
    // the cause is often not the last.
    std::string_view text(status.lastFailure);
    const char* label = "reason";
    while (!text.empty()) {
      const std::size_t end = std::min(text.find('\n'), text.size());
      std::fprintf(stderr, "cvcli: %s: %.*s\n", label, static_cast<int>(end), text.data());
      label = "output";
      text.remove_prefix(std::min(end + 1, text.size()));
    }
  }
}

bool Number(const char* text, std::int64_t& out) {
  const char* end = text + std::strlen(text);
  auto [p, ec] = std::from_chars(text, end, out);
  return ec == std::errc() && p == end && p != text;
}

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

void PrintParameter(const CvServerParameter& rec) {
  const char* name = rec.nameValue;
  const char* value = name + std::strlen(name) + 1;
  if (rec.valueType == kCvParamTypeText) {
    std::printf("%s = \"%s\"\n", name, value);
  } else {
    std::int32_t n = 0;
    std::memcpy(&n, value, 4);
    std::printf("%s = %d\n", name, n);
  }
}

std::string Join(int from, int argc, char** argv) {
  std::string s;
  for (int i = from; i < argc; ++i) {
    if (i > from) s += ' ';
    s += argv[i];
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (argc < 3) return Usage();
  if (std::strcmp(argv[1], "audit") == 0 || std::strcmp(argv[2], "audit") == 0) {
    if (std::strcmp(argv[1], "audit") != 0) std::swap(argv[1], argv[2]);
    const int status = cvcli::AuditCommand(argc, argv, Fail);
    return status < 0 ? Usage() : status;
  }
  if (std::strcmp(argv[1], "--dir") == 0) {
    const int status = cvcli::DirectoryCommand(argc, argv, Fail);
    return status < 0 ? Usage() : status;
  }
  const std::string cmd = argv[2];
  if (std::uint32_t code = CvClientStartup(nullptr, nullptr)) return Fail("startup", code);
  std::uint32_t h = 0;
  if (std::uint32_t code = CvGetConnectionHandle(argv[1], 0, &h, nullptr)) return Fail(argv[1], code);
  std::uint32_t code = 0;
  if (cmd == "info" && argc == 3) {
    char name[kCvServerNameSize] = {}, company[kCvServerTextSize] = {}, description[kCvServerTextSize] = {};
    CvVersionItem v{};
    std::uint16_t capacity = 0, inUse = 0;
    if ((code = CvGetServerInformation(h, name, nullptr, nullptr, nullptr, &capacity, nullptr, &inUse)) ||
        (code = CvGetServerDescription(h, company, description, nullptr, nullptr)) ||
        (code = CvGetConnectionItem(h, kCvItemVersion, sizeof v, &v))) {
      return Fail("info", code);
    }
    std::printf("name: %s\nversion: %u.%u.%u\ndescription: %s\ncompany: %s\nconnections: %u of %u\n", name, v.major,
                v.minor, v.revision, description, company, inUse, capacity);
  } else if (cmd == "load" && argc >= 4) {
    std::string line = Join(3, argc, argv);
    if (line.find(' ') == std::string::npos) line += ' ';
    const auto began = std::chrono::steady_clock::now();
    if ((code = CvLoadModule(h, line.c_str()))) {
      Fail("load", code);
      PrintLoadFailure(h, line.substr(0, line.find(' ')), began);
      return 1;
    }
    std::puts("loaded");
  } else if (cmd == "unload" && argc >= 4) {
    if ((code = CvUnloadModule(h, Join(3, argc, argv).c_str()))) return Fail("unload", code);
    std::puts("unloaded");
  } else if (cmd == "run" && argc == 4) {
    if ((code = CvRunCommandFile(h, argv[3]))) return Fail("run", code);
    std::puts("done");
  } else if (cmd == "param" && (argc == 4 || argc == 5)) {
    if (argc == 5) {
      std::int64_t n = 0;
      code = kCvErrTypeMismatch;
      if (Number(argv[4], n)) code = CvSetServerParameterNumber(h, argv[3], static_cast<std::int32_t>(n));
      if (code == kCvErrTypeMismatch) code = CvSetServerParameterText(h, argv[3], argv[4]);
      if (code) return Fail("param", code);
    }
    CvServerParameter rec{};
    for (std::uint32_t i = 0;; i = rec.nextSearchIndex) {
      code = CvScanServerParameter(h, i, &rec);
      if (code == kCvErrNoMoreEntries) return Fail(argv[3], kCvErrUnknownParameter);
      if (code) return Fail(argv[3], code);
      if (strcasecmp(rec.nameValue, argv[3]) == 0) break;
    }
    PrintParameter(rec);
  } else if (cmd == "params" && argc == 3) {
    CvServerParameter rec{};
    for (std::uint32_t i = 0; (code = CvScanServerParameter(h, i, &rec)) == kCvOk; i = rec.nextSearchIndex) {
      PrintParameter(rec);
    }
    if (code != kCvErrNoMoreEntries) return Fail("params", code);
  } else if (cmd == "connections" && argc == 3) {
    std::uint16_t capacity = 0;
    if ((code = CvGetServerInformation(h, nullptr, nullptr, nullptr, nullptr, &capacity, nullptr, nullptr))) {
      return Fail("connections", code);
    }
    for (std::uint32_t c = 1; c <= capacity; ++c) {
      char name[kCvObjectNameSize] = {};
      CvLoginTime t{};
      if (CvGetConnectionInformation(h, c, name, nullptr, nullptr, &t) != kCvOk) continue;
      CvConnectionAddress a{};
      CvGetConnectionAddress(h, c, &a);
      std::printf("%5u  %-20s %04u-%02u-%02u %02u:%02u:%02u  %u.%u.%u.%u\n", c, name, t.year + 1900u, t.month, t.day,
                  t.hour, t.minute, t.second, a.address[0], a.address[1], a.address[2], a.address[3]);
    }
  } else if (cmd == "send" && argc >= 5) {
    std::int64_t n = 0;
    if (!Number(argv[3], n) || n < 1 || n > 65535) return Usage();
    const auto number = static_cast<std::uint16_t>(n);
    std::uint8_t result = 0;
    if ((code = CvSendBroadcastMessage(h, Join(4, argc, argv).c_str(), 1, &number, &result))) return Fail("send", code);
    std::puts("sent");
  } else if (cmd == "clear" && argc == 4) {
    std::int64_t n = 0;
    if (!Number(argv[3], n) || n < 1) return Usage();
    if ((code = CvClearConnection(h, static_cast<std::uint32_t>(n)))) return Fail("clear", code);
    std::puts("cleared");
  } else if (cmd == "messages" && (argc == 3 || (argc == 5 && std::strcmp(argv[3], "--wait") == 0))) {
    std::int64_t waitMs = 0;
    if (argc == 5 && (!Number(argv[4], waitMs) || waitMs < 0 || waitMs > 24 * 3600 * 1000)) return Usage();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    char message[kCvMessageSize];
    for (int shown = 0;;) {
      while ((code = CvGetBroadcastMessage(h, message)) == kCvOk) {
        std::puts(message);
        ++shown;
      }
      if (code != kCvErrNoMoreEntries) return Fail("messages", code);
      if (shown > 0 || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  } else {
    CvReleaseConnection(h);
    return Usage();
  }
  CvReleaseConnection(h);
  return 0;
}
