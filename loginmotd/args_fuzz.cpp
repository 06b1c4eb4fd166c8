// Fuzz target: loginmotd's command-line check on any argument vector, against a reading of the period
// written apart from strtol: accepted exactly when the digits after blanks and a sign make 1 to 30,
// with the message that the refusal calls for.
//
// Input layout: the arguments, program name first, separated by NUL bytes (at most four).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "args.h"

namespace {

// What the period text reads as: ok false when it does not fit 32 bits.
struct reading {
    bool ok = true;
    long long value = 0;
};

reading read_period(const char *s)
{
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    bool negative = *s == '-';
    if (*s == '+' || *s == '-')
        s++;
    reading r;
    for (; *s >= '0' && *s <= '9'; s++) {
        r.value = r.value * 10 + (*s - '0');
        if (r.value > (1LL << 32)) {
            r.ok = false;
            break;
        }
    }
    if (negative)
        r.value = -r.value;
    if (r.value < INT32_MIN || r.value > INT32_MAX)
        r.ok = false;
    return r;
}

void fail(const char *what, const std::string &arg, const char *message)
{
    std::fprintf(stderr, "loginmotd fuzz: %s for argument \"%s\", message \"%s\"\n", what, arg.c_str(), message);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Every argument in a buffer of its own exact size, so that a read past its end is caught.
    std::vector<std::unique_ptr<char[]>> args;
    size_t start = 0;
    for (size_t i = 0; i <= size && args.size() < 4; i++) {
        if (i == size || data[i] == 0) {
            auto arg = std::make_unique<char[]>(i - start + 1);
            std::memcpy(arg.get(), data + start, i - start);
            arg[i - start] = '\0';
            args.push_back(std::move(arg));
            start = i + 1;
        }
    }
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.get());
    argv.push_back(nullptr);
    int argc = int(args.size());

    char message[256] = {};
    FILE *err = fmemopen(message, sizeof message - 1, "w");
    if (!err)
        std::abort();
    int period = -7;
    int status = check_arguments(argc, argv.data(), err, &period);
    std::fclose(err);

    std::string arg = argc > 1 ? argv[1] : "";
    if (argc != 2) {
        if (status != 1 || std::strncmp(message, "Usage: ", 7) != 0)
            fail("wrong argument count not refused with the usage message", arg, message);
        return 0;
    }
    reading r = read_period(argv[1]);
    bool accept = r.ok && r.value >= 1 && r.value <= 30;
    if (accept) {
        if (status != 0 || period != r.value || message[0] != '\0')
            fail("period refused or changed", arg, message);
        return 0;
    }
    static const char range[] = "Argument login_record_period out of range: ";
    if (status != -1 || std::strncmp(message, range, sizeof range - 1) != 0)
        fail("bad period not refused with the range message", arg, message);
    if (r.ok && std::strtoll(message + sizeof range - 1, nullptr, 10) != r.value)
        fail("range message shows another value", arg, message);
    return 0;
}
