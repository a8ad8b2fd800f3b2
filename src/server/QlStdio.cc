// The interactive session of -stdio: commands typed on standard input.
//
// The session itself handles "help", "trace", "wait n" and "quit" (a blank
// line or the end of input also ends it); request commands ("get", "post",
// keyword lines) and the network commands ("ip", "listen", "connect",
// "close") are handed to the handler that the request processor and the
// network layer register with QlSetStdioHandler.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "Ht.h"
#include "Ql.h"

namespace quil {

namespace {

QlStdioHandler stdioHandler = nullptr;

void Print(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

std::string CommandList() {
  struct Line {
    const char* command;
    std::string text;
  };
  const std::string& cgi = Ql.cgiName;
  const Line lines[] = {
      {"get", "get top-level Quillmoot page"},
      {"get query", "get Quillmoot page for " + cgi + "?query"},
      {"post query", "post data up to blank line for " + cgi + "?query"},
      {"a=...&b=...&", "keywords a and b for 'post'"},
      {"ip 1.1.1.1", "IP address to site name (use 'host' for local host)"},
      {"ip a.x", "site name to IP address"},
      {"listen port", "listen on IP address and echo query"},
      {"connect IP port",
       "connect to IP address and send data (use \"..\" for a blank line)"},
      {"close fd", "close socket for file descriptor fd (-1 for a listen)"},
      {"trace", "toggle IStracing"},
      {"wait n", "wait n seconds"},
      {"help", "return this message"},
      {"quit", "all done"},
  };
  std::string out = "commands (end with blank line):\n";
  char buf[256];
  for (const Line& l : lines) {
    snprintf(buf, sizeof buf, "  %-17s%s\n", l.command, l.text.c_str());
    out += buf;
  }
  return out;
}

// Runs the event loop for the given number of seconds (or until quitting).
void Wait(int seconds) {
  int64_t end = SysTime() + int64_t(seconds) * 1000;
  for (int64_t now = SysTime(); now < end && !quitFlag; now = SysTime())
    QlServerLoop(-1, int32_t(end - now), false);
}

}  // namespace

void QlSetStdioHandler(QlStdioHandler handler) { stdioHandler = handler; }

void QlStdioSession() {
  Print(std::string("Quillmoot interactive session, ") + kQlSiteAddress + "\n" +
        CommandList());
  std::string line;
  while (!quitFlag && std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line == "quit") break;
    if (line == "help") {
      Print(CommandList());
    } else if (line == "trace") {
      HtTrace = !HtTrace;
    } else if (line.rfind("wait ", 0) == 0) {
      Wait(atoi(line.c_str() + 5));
    } else if (stdioHandler == nullptr || !stdioHandler(line)) {
      Print(CommandList());
    }
  }
}

}  // namespace quil
