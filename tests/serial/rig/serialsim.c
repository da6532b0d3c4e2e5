/* A serial device on the far end of a pseudo-terminal, for the serial rig.
 *
 *   serialsim DEVICE MODE [NOISE]
 *
 * MODE is one of
 *   modbus  a Modbus RTU slave (unit 1) served by libmodbus: 100 holding
 *           registers, register i holding 0x1000 + i, writable;
 *   echo    every byte is sent back at once; after a pause of 20 ms the
 *           frame is answered with its bytes in reverse order;
 *   silent  reads everything, answers nothing;
 *   half    answers every frame with the first 4 bytes of an 8-byte reply;
 * NOISE, when given, is sent once before the device starts to listen: bytes
 * that nobody asked for. Once the device is open, the file named by
 * $SERIALSIM_READY (if set) is created. */
#include <errno.h>
#include <fcntl.h>
#include <modbus.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static int open_raw(const char *device) {
    int fd = open(device, O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

static int write_all(int fd, const unsigned char *bytes, size_t count) {
    while (count > 0) {
        ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        bytes += n;
        count -= (size_t)n;
    }
    return 0;
}

/* Reads one frame: bytes until a pause of gap_ms. Returns its length, or -1
 * when the other end has gone. */
static int read_frame(int fd, unsigned char *frame, int size, int gap_ms, int echo) {
    int length = 0;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, length == 0 ? -1 : gap_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return length;
        unsigned char byte[256];
        ssize_t n = read(fd, byte, sizeof byte);
        if (n <= 0) return -1;
        if (echo && write_all(fd, byte, (size_t)n) < 0) return -1;
        for (ssize_t i = 0; i < n && length < size; ++i) frame[length++] = byte[i];
    }
}

static void announce_ready(void) {
    const char *path = getenv("SERIALSIM_READY");
    if (path) close(open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
}

static int serve_modbus(const char *device) {
    modbus_t *context = modbus_new_rtu(device, 9600, 'N', 8, 1);
    if (!context) return 1;
    modbus_set_slave(context, 1);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 100, 0);
    if (!map || modbus_connect(context) < 0) {
        fprintf(stderr, "serialsim: %s: %s\n", device, modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < 100; ++i) map->tab_registers[i] = (uint16_t)(0x1000 + i);
    announce_ready();
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        int length = modbus_receive(context, request);
        if (length > 0) {
            modbus_reply(context, request, length, map);
        } else if (length < 0 && errno != EMBBADCRC && errno != EMBBADDATA && errno != ETIMEDOUT &&
                   errno != EMBXILFUN) {
            break;
        }
    }
    modbus_mapping_free(map);
    modbus_close(context);
    modbus_free(context);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: serialsim DEVICE modbus|echo|silent|half [NOISE]\n");
        return 2;
    }
    const char *device = argv[1], *mode = argv[2];
    if (argc > 3) {
        int fd = open_raw(device);
        if (fd < 0 || write_all(fd, (const unsigned char *)argv[3], strlen(argv[3])) < 0) return 1;
        close(fd);
    }
    if (strcmp(mode, "modbus") == 0) return serve_modbus(device);
    int fd = open_raw(device);
    if (fd < 0) {
        perror(device);
        return 1;
    }
    announce_ready();
    unsigned char frame[4096];
    for (;;) {
        int echo = strcmp(mode, "echo") == 0;
        int length = read_frame(fd, frame, sizeof frame, 20, echo);
        if (length < 0) return 0;
        if (echo) {
            unsigned char reply[sizeof frame];
            for (int i = 0; i < length; ++i) reply[i] = frame[length - 1 - i];
            if (write_all(fd, reply, (size_t)length) < 0) return 0;
        } else if (strcmp(mode, "half") == 0) {
            static const unsigned char reply[8] = {0x01, 0x03, 0x04, 0x10, 0x00, 0x10, 0x01, 0x00};
            if (write_all(fd, reply, 4) < 0) return 0;
        } else if (strcmp(mode, "silent") != 0) {
            fprintf(stderr, "serialsim: unknown mode %s\n", mode);
            return 2;
        }
    }
}
