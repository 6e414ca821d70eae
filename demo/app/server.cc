// The demo stack's app: a tiny HTTP server on a loopback port that serves
// one page, read afresh on every request.
//
//   demo-server PORT PAGE PIDFILE

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s PORT PAGE PIDFILE\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  std::ofstream(argv[3]) << getpid() << "\n";

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
  std::fprintf(stderr, "demo-server: serving %s on http://127.0.0.1:%d/\n",
               argv[2], port);

  for (;;) {
    const int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    char request[2048];
    (void)read(conn, request, sizeof request);
    std::stringstream page;
    page << std::ifstream(argv[2]).rdbuf();
    const std::string body = page.str();
    const std::string reply =
        "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    (void)write(conn, reply.data(), reply.size());
    close(conn);
  }
}
