// The process-wide error report routine and the error and event logs.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Ex.h"
#include "Ht.h"

namespace quil {

WfState Wf;

namespace {

WfConfig config;
void (*termFn)() = nullptr;

// Texts this long or longer are written as they are, without the time.
constexpr size_t kWfStampLimit = 970;

void AppendToFile(const char* name, const std::string& text) {
  int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  HtWriteAll(fd, text);
  close(fd);
}

// The ctime() text of now, without its newline.
std::string CtimeNow() {
  time_t now = time(nullptr);
  char buf[64];
  if (ctime_r(&now, buf) == nullptr) return "";
  std::string s = buf;
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

std::string Vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return "";
  if (size_t(n) < sizeof small) return std::string(small, size_t(n));
  std::string out(size_t(n) + 1, '\0');
  vsnprintf(out.data(), out.size(), format, args);
  out.resize(size_t(n));
  return out;
}

// The bridge request details added to an error in quil.log.
std::string RequestNoteText() {
  WfRequestNote note;
  if (config.requestNote == nullptr || !config.requestNote(&note)) return "";
  size_t size = note.path.size() + note.post.size();
  if (size < 7 || size > 960) return "";
  std::string s = " Host: " + note.host + " Path: " + note.path;
  if (!note.post.empty()) s += " Post: " + note.post;
  if (!note.data.empty()) s += " Data: " + note.data;
  return s + "\n";
}

// Other threads may still run: leave without running static destructors.
[[noreturn]] void EndProcess(int status) {
  if (termFn) termFn();
  if (status < 0) abort();
  fflush(nullptr);
  _exit(status);
}

}  // namespace

WfConfig& WfConfigure() { return config; }

void HtWriteAll(int fd, const char* text, size_t size) {
  while (size > 0) {
    ssize_t w = write(fd, text, size);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    text += w;
    size -= size_t(w);
  }
}

void WfSetTermFn(void (*fn)()) { termFn = fn; }

void UxLogMessage(char* text, size_t size, const char* programName, int level,
                  int32_t systemError, const char* format, va_list args) {
  if (size == 0) return;
  const char* word = level <= 3 ? "error" : level == 4 ? "warning" : "info";
  std::string s = std::string(programName ? programName : "") + " " + word +
                  ": " + Vformat(format, args);
  if (systemError != -1) s += std::string(" [") + strerror(systemError) + "]";
  s += "\n";
  size_t n = std::min(s.size(), size - 1);
  memcpy(text, s.data(), n);
  text[n] = '\0';
}

void Wf_err_vexit(int32_t code, int32_t systemError, const char* format,
                  va_list args) {
  if (Wf.reportDepth > 0) {
    char head[128];
    snprintf(head, sizeof head,
             "quil-go error %d system error %d while reporting error:\n",
             int(code), int(systemError));
    HtWriteAll(2, std::string(head) + Wf.errorText);
    EndProcess(-1);
  }
  Wf.quiet = code == kWfCodeClient;
  if (HtQuitting() && Wf.handlerInstalled) ExRaise(kExQuitting);
  Wf.lastSystemError = systemError == -1 ? 0 : systemError;
  UxLogMessage(Wf.errorText, sizeof Wf.errorText, config.programName.c_str(),
               3, systemError, format, args);
  ++Wf.reportDepth;
  if (!Wf.handlerInstalled) {
    Wf_err_write(Wf.errorText);
    Wf_err_write("Exiting because no error handler is installed for this error");
    EndProcess(1);
  }
  ExRaise(kExReported);
}

void Wf_err_exit(int32_t code, int32_t systemError, const char* format, ...) {
  va_list args;
  va_start(args, format);
  // Wf_err_vexit does not return: it raises or ends the process.  The list
  // is ended as the raise unwinds this frame.
  struct VaEnd {
    va_list& list;
    ~VaEnd() { va_end(list); }
  } end{args};
  Wf_err_vexit(code, systemError, format, args);
}

void Wf_err_done() {
  if (Wf.reportDepth > 0) --Wf.reportDepth;
}

bool Wf_err_absorb() {
  bool loud = !Wf.quiet;
  if (loud) Wf_err_write(Wf.errorText);
  Wf_err_done();
  return loud;
}

void Wf_err_write(const char* text) {
  std::string line = text ? text : "";
  if (line.size() < kWfStampLimit) {
    line = CtimeNow() + " " + line;
    if (line.back() != '\n') line += "\n";
  }
  if (config.syslog) {
    syslog(LOG_ERR, "%s", line.c_str());
  } else if (config.clientLog) {
    AppendToFile("Client.log", line);
  } else if (config.daemon) {
    AppendToFile("quil.log", line + RequestNoteText());
  }
  if (!config.running) {
    HtWriteAll(2, "\nError while initializing the server:\n" + line + "\n");
  } else if (!config.syslog && !config.daemon) {
    HtWriteAll(2, "\nError reported by the server:\n" + line + "\n");
  }
}

void Wf_log_write(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = " " + Vformat(format, args) + "\n";
  va_end(args);
  if (config.syslog) {
    syslog(LOG_NOTICE, "%s", line.c_str());
  } else if (config.daemon) {
    AppendToFile("quil.log", CtimeNow() + line);
  } else {
    HtWriteAll(2, line);
  }
}

}  // namespace quil
