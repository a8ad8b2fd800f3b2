// The network through the real quil binary: the HTTP server started from
// quil.set, the -echo and -stdio modes, the bridge through quil-cgi and
// through a real outside web server (nginx with fcgiwrap), and the
// resolver processes ending with the server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ports.h"
#include "quil_process.h"

using namespace quiltest;

namespace {

std::string BinDir() {
  const char* dir = getenv("QUIL_BINARY_DIR");
  return dir ? dir : QUIL_BINARY_DIR;
}

// Processes whose parent is pid and whose name is comm.
int Children(pid_t pid, const std::string& comm) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(e.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string name = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    char state;
    int ppid;
    rest >> state >> ppid;
    if (ppid == pid && name == comm) ++n;
  }
  return n;
}

TEST(NetRun, TheServerServesFilesOnThePortOfQuilSet) {
  ScratchDir dir;
  uint16_t port = FreePort();
  WriteFile(dir.File("quil.set"), "webPort=127.0.0.1:" + std::to_string(port) + "\n");
  WriteFile(dir.File("html/index.html"), "<p>welcome</p>\n");
  Quil q(dir.path(), {"-server"});
  ASSERT_TRUE(WaitForPort(port));
  std::string base = "curl -s -D- http://127.0.0.1:" + std::to_string(port);
  std::string top = Shell(base + "/");
  EXPECT_EQ(top.find("HTTP/1.1 200 OK\r\nServer:Quillmoot(r) Unix-v3.1 built Jul  7 1999\r\n"),
            0u) << top;
  EXPECT_NE(top.find("\r\n\r\n<p>welcome</p>\n"), std::string::npos) << top;
  // Forum requests reach the request processor.
  EXPECT_EQ(Shell(base + "/Quil?14@@").find("HTTP/1.1 200 OK\r\nServer: Quillmoot/"), 0u);
  // The resolver processes run beside the server and end with it.
  for (int i = 0; i < 200 && Children(q.pid(), "quil-ReverseDNS") == 0; ++i) usleep(10000);
  EXPECT_EQ(Children(q.pid(), "quil-DNS"), 1);
  EXPECT_EQ(Children(q.pid(), "quil-ReverseDNS"), 1);
  EXPECT_TRUE(dir.Exists("quil.socket"));
  Ended e = Stop(q, dir);
  EXPECT_FALSE(dir.Exists("quil.socket"));
  EXPECT_EQ(Children(q.pid(), "quil-DNS"), 0);
}

TEST(NetRun, EchoModeAnswersQuilCgiWithACopyOfItsRequest) {
  ScratchDir dir;
  Quil q(dir.path(), {"-echo", "-trace"});
  ASSERT_TRUE(q.ErrUntil("select: wait"));
  std::string out = Shell("cd " + dir.path() + " && echo -n 'a=1' | env QUIL_SITE=" + dir.path() +
                          " REQUEST_METHOD=POST QUERY_STRING=5@@ CONTENT_LENGTH=3 "
                          "SCRIPT_NAME=/cgi-bin/Quil " + BinDir() + "/quil-cgi");
  EXPECT_EQ(out,
            "Content-type: text/plain\nContent-length: 54\n\n"
            "POST\nextra-path:5@@\nscript-name:/cgi-bin/Quil\nn:3\n\na=1");
  Stop(q, dir);
}

TEST(NetRun, QuilCgiWithoutAServerAnswers503) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.File("Client"));
  std::string out = Shell("env QUIL_SITE=" + dir.path() + " " + BinDir() + "/quil-cgi");
  EXPECT_EQ(out.substr(0, 33), "Status: 503 Service Unavailable\nC");
  EXPECT_NE(out.find("Quillmoot is not running."), std::string::npos);
}

TEST(NetRun, StdioRequestsGoThroughTheRequestProcessor) {
  ScratchDir dir;
  Ended e = RunQuil(dir.path(), {"-stdio", "-agent", "Tester/1"},
                    "get 14@@\npost 1@@\na=1&\nb=2&\n\nip 127.0.0.1\nquit\n");
  EXPECT_EQ(e.status, 0);
  // Both are answered by the request processor with a whole page.
  size_t first = e.out.find("HTTP/1.1 200 OK\r\nServer: Quillmoot/");
  ASSERT_NE(first, std::string::npos) << e.out;
  size_t second = e.out.find("HTTP/1.1 200 OK\r\nServer: Quillmoot/", first + 1);
  ASSERT_NE(second, std::string::npos) << e.out;
  EXPECT_NE(e.out.find("</HTML>", second), std::string::npos) << e.out;
  EXPECT_NE(e.out.find("127.0.0.1 is "), std::string::npos) << e.out;
}

TEST(NetRun, StdioListensAndConnects) {
  ScratchDir dir;
  uint16_t port = FreePort();
  std::string p = std::to_string(port);
  Ended e = RunQuil(dir.path(), {"-stdio"},
                    "listen " + p + "\nconnect 127.0.0.1 " + p + "\nhello\n..\n\nwait 1\nquit\n");
  EXPECT_NE(e.out.find("listening on port " + p + "\n"), std::string::npos) << e.out;
  EXPECT_NE(e.out.find("connected to 127.0.0.1 " + p), std::string::npos) << e.out;
  // The listener prints what arrived and echoes it; the caller prints the
  // echo.
  size_t got = e.out.find(": hello\r\n\r\n");
  ASSERT_NE(got, std::string::npos) << e.out;
  EXPECT_NE(e.out.find(": hello\r\n\r\n", got + 1), std::string::npos) << e.out;
}

// nginx runs quil-cgi through fcgiwrap; the answer comes back through
// nginx.
TEST(NetRun, ARequestThroughNginxAndFcgiwrap) {
  if (system("command -v nginx >/dev/null && command -v fcgiwrap >/dev/null") != 0)
    GTEST_SKIP() << "nginx or fcgiwrap is not installed (tools/install-deps)";
  ScratchDir dir;
  Quil q(dir.path(), {"-echo", "-trace"});
  ASSERT_TRUE(q.ErrUntil("select: wait"));
  uint16_t port = FreePort();
  std::string d = dir.path();
  std::string conf = std::string(getuid() == 0 ? "user root;\n" : "") +
                     "worker_processes 1;\ndaemon off;\npid " + d + "/nginx.pid;\n"
                     "error_log " + d + "/nginx-error.log;\nevents {}\nhttp {\n"
                     "  access_log off;\n  client_body_temp_path " + d + "/ngx-body;\n"
                     "  fastcgi_temp_path " + d + "/ngx-fcgi;\n"
                     "  proxy_temp_path " + d + "/ngx-proxy;\n"
                     "  uwsgi_temp_path " + d + "/ngx-uwsgi;\n"
                     "  scgi_temp_path " + d + "/ngx-scgi;\n"
                     "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n"
                     "    server_name localhost;\n"
                     "    location /cgi-bin/quil-cgi {\n"
                     "      fastcgi_param SCRIPT_FILENAME " + BinDir() + "/quil-cgi;\n"
                     "      fastcgi_param QUIL_SITE " + d + ";\n"
                     "      fastcgi_param QUERY_STRING $query_string;\n"
                     "      fastcgi_param REQUEST_METHOD $request_method;\n"
                     "      fastcgi_param CONTENT_TYPE $content_type;\n"
                     "      fastcgi_param CONTENT_LENGTH $content_length;\n"
                     "      fastcgi_param SCRIPT_NAME $fastcgi_script_name;\n"
                     "      fastcgi_param SERVER_NAME $server_name;\n"
                     "      fastcgi_param SERVER_PORT $server_port;\n"
                     "      fastcgi_param REMOTE_ADDR $remote_addr;\n"
                     "      fastcgi_pass unix:" + d + "/fcgi.sock;\n    }\n  }\n}\n";
  WriteFile(d + "/nginx.conf", conf);
  std::string start = "cd " + d + " && (fcgiwrap -s unix:" + d +
                      "/fcgi.sock >/dev/null 2>&1 & echo $! > fcgi.pid) && "
                      "(nginx -c " + d + "/nginx.conf -p " + d + " >/dev/null 2>&1 &)";
  ASSERT_EQ(system(start.c_str()), 0);
  bool up = WaitForPort(port);
  for (int i = 0; i < 500 && !dir.Exists("fcgi.sock"); ++i) usleep(10000);
  std::string out;
  if (up) {
    out = Shell("curl -s -D- -A nginx-test --data 'x=1' 'http://127.0.0.1:" +
                std::to_string(port) + "/cgi-bin/quil-cgi?L1@@'");
  }
  system(("kill $(cat " + d + "/nginx.pid) $(cat " + d + "/fcgi.pid) 2>/dev/null").c_str());
  ASSERT_TRUE(up) << dir.Read("nginx-error.log");
  EXPECT_EQ(out.substr(0, 17), "HTTP/1.1 200 OK\r\n") << out;
  EXPECT_NE(out.find("Content-Type: text/plain\r\n"), std::string::npos) << out;
  std::string body = out.substr(out.find("\r\n\r\n") + 4);
  EXPECT_EQ(body,
            "POST\nextra-path:L1@@\nremote-addr:127.0.0.1\nserver-name:localhost:" +
                std::to_string(port) +
                "\nuser-agent:nginx-test\nscript-name:/cgi-bin/quil-cgi\n"
                "content-type:application/x-www-form-urlencoded\nn:3\n\nx=1")
      << out;
  Stop(q, dir);
}

}  // namespace
