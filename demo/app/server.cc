// The demo stack's app: a tiny HTTP server on a loopback port that serves
// one page. It reads the page once, at start, and adds its own process id
// and start time, so every restart by the controller shows in the page.
//
//   demo-server PORT PAGE

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT PAGE\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);

  std::stringstream page;
  page << std::ifstream(argv[2]).rdbuf();
  char started[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S",
                std::localtime(&now));
  page << "<p>Served by process " << getpid() << ", started " << started
       << ".</p>\n";
  const std::string body = page.str();
  const std::string reply =
      "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, 16) != 0) {
    std::perror("demo-server: bind");
    return 1;
  }
  std::fprintf(stderr,
               "demo-server: process %d serving %s on "
               "http://127.0.0.1:%d/\n",
               static_cast<int>(getpid()), argv[2], port);

  for (;;) {
    const int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    char request[2048];
    (void)read(conn, request, sizeof request);
    (void)write(conn, reply.data(), reply.size());
    close(conn);
  }
}
