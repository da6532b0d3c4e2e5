// A small device simulator reached over HTTP on the loopback interface: a
// heating controller with a temperature that drifts toward its set-point.
//
//   GET  /values            200 "temperature=21.50\nsetpoint=22.00\nvalve=35\n"
//   POST /setpoint          body "value=23.5" (5 to 30): 200 "OK", else 400
//   GET  /shutdown          200 "BYE", and the simulator ends
//
// usage: devicesim PORT
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

double temperature = 19.0;
double setpoint = 22.0;
DWORD lastStep = 0;

// Moves the temperature a little toward the set-point for the time passed.
void Advance() {
    const DWORD now = GetTickCount();
    if (lastStep == 0) lastStep = now;
    const double seconds = (now - lastStep) / 1000.0;
    lastStep = now;
    temperature += (setpoint - temperature) * (seconds > 10 ? 1.0 : seconds / 10);
}

int Valve() {
    const double gap = setpoint - temperature;
    const int valve = static_cast<int>(gap * 40);
    return valve < 0 ? 0 : valve > 100 ? 100 : valve;
}

void Respond(SOCKET client, int status, const std::string &body) {
    char header[256];
    _snprintf(header, sizeof header,
              "HTTP/1.0 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %u\r\nConnection: close\r\n\r\n", status,
              status == 200 ? "OK" : status == 404 ? "Not Found" : "Bad Request", static_cast<unsigned>(body.size()));
    const std::string response = header + body;
    send(client, response.data(), static_cast<int>(response.size()), 0);
}

// Reads one request: head, and the body that Content-Length announces.
bool ReadRequest(SOCKET client, std::string &head, std::string &body) {
    std::string data;
    char chunk[1024];
    size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        const int got = recv(client, chunk, sizeof chunk, 0);
        if (got <= 0 || data.size() > 65536) return false;
        data.append(chunk, static_cast<size_t>(got));
    }
    head = data.substr(0, headEnd);
    body = data.substr(headEnd + 4);
    size_t length = 0;
    const char *field = strstr(head.c_str(), "Content-Length:");
    if (!field) field = strstr(head.c_str(), "content-length:");
    if (field) length = strtoul(field + 15, nullptr, 10);
    while (body.size() < length && length < 65536) {
        const int got = recv(client, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        body.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

// Answers one request; false when the simulator is to end.
bool Serve(SOCKET client) {
    std::string head, body;
    if (!ReadRequest(client, head, body)) return true;
    Advance();
    if (head.rfind("GET /values ", 0) == 0) {
        char text[128];
        _snprintf(text, sizeof text, "temperature=%.2f\nsetpoint=%.2f\nvalve=%d\n", temperature, setpoint, Valve());
        Respond(client, 200, text);
    } else if (head.rfind("POST /setpoint ", 0) == 0) {
        char *end = nullptr;
        const double value = body.rfind("value=", 0) == 0 ? strtod(body.c_str() + 6, &end) : 0;
        if (end && *end == '\0' && value >= 5 && value <= 30) {
            setpoint = value;
            Respond(client, 200, "OK");
        } else {
            Respond(client, 400, "set-point must be value=5..30");
        }
    } else if (head.rfind("GET /shutdown ", 0) == 0) {
        Respond(client, 200, "BYE");
        return false;
    } else {
        Respond(client, 404, "no such resource");
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: devicesim PORT\n");
        return 2;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 4) != 0) {
        fprintf(stderr, "devicesim: cannot listen on port %s (error %d)\n", argv[1], WSAGetLastError());
        return 1;
    }
    printf("devicesim: listening on 127.0.0.1:%s\n", argv[1]);
    fflush(stdout);
    bool running = true;
    while (running) {
        SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) break;
        running = Serve(client);
        shutdown(client, SD_SEND);
        closesocket(client);
    }
    closesocket(listener);
    WSACleanup();
    return 0;
}
