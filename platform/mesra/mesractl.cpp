// mesractl: sets, deletes and lists the records of the state service's directory store.
//   mesractl [-d DIR] set KEY FIELD VALUE    writes "VALUE\n" to KEY.FIELD
//   mesractl [-d DIR] delete KEY FIELD       removes KEY.FIELD
//   mesractl [-d DIR] get KEY FIELD          prints the record
//   mesractl [-d DIR] list                   prints every record as "NAME VALUE"
// DIR defaults to $MESRA_DIR, then /run/mesra.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string dir;

int usage()
{
    fprintf(stderr,
            "usage: mesractl [-d DIR] set KEY FIELD VALUE\n"
            "       mesractl [-d DIR] delete KEY FIELD\n"
            "       mesractl [-d DIR] get KEY FIELD\n"
            "       mesractl [-d DIR] list\n");
    return 2;
}

bool valid_name(const std::string &s)
{
    return !s.empty() && s[0] != '.' && s.size() < 200 && s.find('/') == std::string::npos;
}

bool record_name(const char *key, const char *field, std::string &out)
{
    if (!valid_name(key) || !valid_name(field)) {
        fprintf(stderr, "mesractl: invalid key or field\n");
        return false;
    }
    out = std::string(key) + "." + field;
    return true;
}

bool read_record(const std::string &name, std::string &out)
{
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return false;
    char buf[4096];
    size_t n;
    out.clear();
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return true;
}

// Written under a hidden name and renamed into place, so that watchers see one complete change.
int cmd_set(const char *key, const char *field, const char *value)
{
    std::string name;
    if (!record_name(key, field, name))
        return 2;
    std::string tmp = dir + "/." + name + "." + std::to_string(getpid()) + ".tmp";
    std::string text = std::string(value) + "\n";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        fprintf(stderr, "mesractl: %s: %s\n", tmp.c_str(), strerror(errno));
        return 1;
    }
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    std::string path = dir + "/" + name;
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        fprintf(stderr, "mesractl: %s: %s\n", path.c_str(), strerror(err));
        return 1;
    }
    return 0;
}

int cmd_delete(const char *key, const char *field)
{
    std::string name;
    if (!record_name(key, field, name))
        return 2;
    std::string path = dir + "/" + name;
    if (unlink(path.c_str()) != 0) {
        fprintf(stderr, "mesractl: %s: %s\n", path.c_str(), strerror(errno));
        return 1;
    }
    return 0;
}

int cmd_get(const char *key, const char *field)
{
    std::string name, text;
    if (!record_name(key, field, name))
        return 2;
    if (!read_record(name, text)) {
        fprintf(stderr, "mesractl: %s/%s: %s\n", dir.c_str(), name.c_str(), strerror(errno));
        return 1;
    }
    fputs(text.c_str(), stdout);
    if (text.empty() || text.back() != '\n')
        fputc('\n', stdout);
    return 0;
}

int cmd_list()
{
    DIR *d = opendir(dir.c_str());
    if (!d) {
        fprintf(stderr, "mesractl: %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        std::string text;
        if (!read_record(name, text))
            continue;
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        std::replace(text.begin(), text.end(), '\n', ' ');
        printf("%s %s\n", name.c_str(), text.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    int i = 1;
    const char *env = getenv("MESRA_DIR");
    dir = env && *env ? env : "/run/mesra";
    if (i + 1 < argc && strcmp(argv[i], "-d") == 0) {
        dir = argv[i + 1];
        i += 2;
    }
    if (i >= argc)
        return usage();
    std::string cmd = argv[i++];
    int rest = argc - i;
    if (cmd == "set" && rest == 3)
        return cmd_set(argv[i], argv[i + 1], argv[i + 2]);
    if (cmd == "delete" && rest == 2)
        return cmd_delete(argv[i], argv[i + 1]);
    if (cmd == "get" && rest == 2)
        return cmd_get(argv[i], argv[i + 1]);
    if (cmd == "list" && rest == 0)
        return cmd_list();
    return usage();
}
