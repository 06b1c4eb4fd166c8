// Raw Unix stream socket throughput on this machine: a plain writer process sends N bytes in writes of
// a given size to a plain reader, which reads them in large chunks. The baseline that the relay
// benchmark compares the daemon's delivery to lldpd against.
//
// Usage: unix_throughput BYTES [WRITE_SIZE]; prints "bytes=N seconds=S bytes_per_second=R".

#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

static double now_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BYTES [WRITE_SIZE]\n", argv[0]);
        return 2;
    }
    size_t total = std::strtoull(argv[1], nullptr, 10);
    size_t write_size = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1 << 20;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        std::perror("socketpair");
        return 1;
    }
    double start = now_s();
    pid_t writer = fork();
    if (writer == 0) {
        close(sv[1]);
        std::vector<char> buf(write_size, 'x');
        size_t left = total;
        while (left > 0) {
            ssize_t n = write(sv[0], buf.data(), left < buf.size() ? left : buf.size());
            if (n <= 0)
                _exit(1);
            left -= size_t(n);
        }
        _exit(0);
    }
    close(sv[0]);
    std::vector<char> buf(4 << 20);
    size_t got = 0;
    while (got < total) {
        ssize_t n = read(sv[1], buf.data(), buf.size());
        if (n <= 0)
            break;
        got += size_t(n);
    }
    double seconds = now_s() - start;
    int status = 0;
    waitpid(writer, &status, 0);
    std::printf("bytes=%zu seconds=%.6f bytes_per_second=%.0f\n", got, seconds, double(got) / seconds);
    return got == total ? 0 : 1;
}
