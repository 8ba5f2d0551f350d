// A libmodbus TCP slave with 100 holding registers for the benchmark. It
// serves any number of clients on one thread, prints its port on the first
// line of its output and runs until it is killed.
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
  modbus_t* context = modbus_new_tcp("127.0.0.1", 0);
  modbus_mapping_t* mapping = modbus_mapping_new(0, 0, 100, 0);
  if (context == nullptr || mapping == nullptr) return 1;
  for (int address = 0; address < 100; ++address) mapping->tab_registers[address] = static_cast<uint16_t>(address);
  const int listen_fd = modbus_tcp_listen(context, 64);
  if (listen_fd < 0) return 1;
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(listen_fd, reinterpret_cast<sockaddr*>(&bound), &length);
  std::printf("%d\n", ntohs(bound.sin_port));
  std::fflush(stdout);

  fd_set clients;
  FD_ZERO(&clients);
  FD_SET(listen_fd, &clients);
  int max_fd = listen_fd;
  uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    fd_set ready = clients;
    if (select(max_fd + 1, &ready, nullptr, nullptr, nullptr) < 0) continue;
    for (int fd = 0; fd <= max_fd; ++fd) {
      if (!FD_ISSET(fd, &ready)) continue;
      if (fd == listen_fd) {
        const int client = accept(listen_fd, nullptr, nullptr);
        if (client < 0) continue;
        FD_SET(client, &clients);
        if (client > max_fd) max_fd = client;
        continue;
      }
      modbus_set_socket(context, fd);
      const int size = modbus_receive(context, request);
      if (size > 0) {
        modbus_reply(context, request, size, mapping);
      } else if (size < 0) {
        close(fd);
        FD_CLR(fd, &clients);
      }
    }
  }
}
