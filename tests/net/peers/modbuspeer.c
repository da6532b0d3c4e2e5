/* A Modbus TCP server on 127.0.0.1 built on libmodbus: it serves one client
 * at a time, forever, and prints the port it listens on as its first line:
 * the one given as its argument, else one the system chooses. Holding
 * register i starts as 0x1000 + i. */
#include <modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv) {
    modbus_t *context = modbus_new_tcp("127.0.0.1", argc > 1 ? atoi(argv[1]) : 0);
    modbus_mapping_t *mapping = modbus_mapping_new(0, 0, 100, 0);
    if (!context || !mapping) return 1;
    for (int i = 0; i < 100; ++i) mapping->tab_registers[i] = (uint16_t)(0x1000 + i);
    int server = modbus_tcp_listen(context, 4);
    if (server < 0) return 1;
    struct sockaddr_in bound;
    socklen_t length = sizeof bound;
    getsockname(server, (struct sockaddr *)&bound, &length);
    printf("%u\n", (unsigned)ntohs(bound.sin_port));
    fflush(stdout);
    for (;;) {
        int client = modbus_tcp_accept(context, &server);
        if (client < 0) continue;
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            int received = modbus_receive(context, query);
            if (received < 0) break;
            if (received > 0) modbus_reply(context, query, received, mapping);
        }
        close(client);
    }
}
