// The state service as a directory store: each key is one file of the store directory, each change of
// a watched file is reported through an inotify descriptor on that directory.

#include "mesra.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#define MESRA_API extern "C" __attribute__((visibility("default")))

static_assert(offsetof(mesra_change, data) == 8);
static_assert(offsetof(mesra_change, len) == 16);
static_assert(offsetof(mesra_change, rev) == 24);
static_assert(offsetof(mesra_change, op) == 40);

namespace {

constexpr const char *default_store = "/run/mesra";
constexpr size_t max_record = 65536;
constexpr uint32_t watch_mask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

thread_local char init_error[512] = "no error";

}  // namespace

struct mesra_sub {
    mesra *m = nullptr;
    std::string key;
    std::string field;
    std::string file;  // key.field, the watched file's name
    mesra_change_cb cb = nullptr;
    void *user = nullptr;
    bool current_pending = false;  // deliver the current value at the next dispatch
    bool dead = false;             // unsubscribed during a dispatch, freed after it
};

struct mesra {
    std::string dir;
    std::string service;
    int inotify_fd = -1;
    bool fd_registered = false;  // the user polls inotify_fd
    bool state_published = false;
    void *user = nullptr;
    mesra_fd_ops ops{};
    std::map<std::string, uint64_t> revs;  // per watched file, counted per event
    int dispatching = 0;
    std::vector<mesra_sub *> subs;  // subscription order
    std::string err = "no error";
};

namespace {

void set_error(mesra *m, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void set_error(mesra *m, const char *fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (m)
        m->err = text;
    else
        snprintf(init_error, sizeof init_error, "%s", text);
}

// A key, field or file name of the store: one plain directory entry, never hidden.
bool valid_name(const char *s)
{
    if (!s || !*s || s[0] == '.')
        return false;
    size_t n = strlen(s);
    return n < 200 && !strchr(s, '/');
}

// No descriptor of the directory is kept open: it would delay the kernel's report of the
// directory's removal until it is closed.
std::string path_of(const mesra *m, const char *name)
{
    return m->dir + "/" + name;
}

void unregister_fd(mesra *m)
{
    if (!m->fd_registered)
        return;
    m->fd_registered = false;
    if (m->ops.remove_fd)
        m->ops.remove_fd(m, m->inotify_fd, m->user);
}

// Writes name atomically: a hidden temporary file renamed into place, so that watchers see one
// complete change.
int write_file(mesra *m, const char *name, const void *data, size_t len)
{
    char tmp[256];
    snprintf(tmp, sizeof tmp, ".%s.%ld.tmp", name, long(getpid()));
    int fd = open(path_of(m, tmp).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        set_error(m, "cannot write %s/%s: %s", m->dir.c_str(), name, strerror(errno));
        return -1;
    }
    const uint8_t *p = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            set_error(m, "cannot write %s/%s: %s", m->dir.c_str(), name, strerror(n < 0 ? errno : EIO));
            close(fd);
            unlink(path_of(m, tmp).c_str());
            return -1;
        }
        done += size_t(n);
    }
    if (close(fd) != 0) {
        set_error(m, "cannot write %s/%s: %s", m->dir.c_str(), name, strerror(errno));
        unlink(path_of(m, tmp).c_str());
        return -1;
    }
    if (rename(path_of(m, tmp).c_str(), path_of(m, name).c_str()) != 0) {
        set_error(m, "cannot write %s/%s: %s", m->dir.c_str(), name, strerror(errno));
        unlink(path_of(m, tmp).c_str());
        return -1;
    }
    return 0;
}

// Reads a record file; false when it is gone or unreadable.
bool read_file(mesra *m, const std::string &name, std::vector<uint8_t> &out)
{
    int fd = open(path_of(m, name.c_str()).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    out.clear();
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        out.insert(out.end(), buf, buf + n);
        if (out.size() > max_record)
            break;  // oversized: handed on as it is, the decoder refuses it
    }
    close(fd);
    return true;
}

void deliver(mesra_sub *sub, int op, const std::vector<uint8_t> *data, uint64_t rev)
{
    if (sub->dead || !sub->cb)
        return;
    mesra_change change{};
    change.key = sub->key.c_str();
    change.field = sub->field.c_str();
    change.rev = rev;
    change.op = op;
    if (data) {
        change.data = data->data();
        change.len = data->size();
    }
    sub->cb(&change, sub->user);
}

// Reports the current content of a subscription's file: set when present, deleted when absent
// (only when asked to, after a lost event queue).
void deliver_current(mesra *m, mesra_sub *sub, bool report_absent)
{
    std::vector<uint8_t> data;
    if (read_file(m, sub->file, data))
        deliver(sub, MESRA_OP_SET, &data, ++m->revs[sub->file]);
    else if (report_absent)
        deliver(sub, MESRA_OP_DELETE, nullptr, ++m->revs[sub->file]);
}

void handle_event(mesra *m, const inotify_event *ev)
{
    if (ev->mask & IN_Q_OVERFLOW) {
        // Events were lost: report every watched file as it is now.
        for (size_t i = 0; i < m->subs.size(); i++)
            deliver_current(m, m->subs[i], true);
        return;
    }
    if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
        set_error(m, "state directory %s removed", m->dir.c_str());
        unregister_fd(m);
        return;
    }
    if (ev->len == 0 || ev->name[0] == '\0' || ev->name[0] == '.')
        return;
    int op;
    if (ev->mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
        op = MESRA_OP_SET;
    else if (ev->mask & (IN_DELETE | IN_MOVED_FROM))
        op = MESRA_OP_DELETE;
    else
        return;
    auto watched = m->revs.find(ev->name);
    if (watched == m->revs.end())
        return;
    // A subscription still owed its current value skips the events queued before it: the value it
    // is about to get already includes them.
    std::vector<mesra_sub *> targets;
    for (mesra_sub *sub : m->subs)
        if (!sub->dead && !sub->current_pending && sub->file == ev->name)
            targets.push_back(sub);
    if (targets.empty())
        return;
    uint64_t rev = ++watched->second;
    std::vector<uint8_t> data;
    // Gone again already: its removal is reported by the event that follows.
    if (op == MESRA_OP_SET && !read_file(m, watched->first, data))
        return;
    for (mesra_sub *sub : targets)
        deliver(sub, op, op == MESRA_OP_SET ? &data : nullptr, rev);
}

void sweep_dead(mesra *m)
{
    std::vector<mesra_sub *> keep;
    for (mesra_sub *sub : m->subs) {
        if (sub->dead)
            delete sub;
        else
            keep.push_back(sub);
    }
    m->subs.swap(keep);
}

// Makes the descriptor readable, so that the user dispatches soon: a hidden file created and removed.
void wake(mesra *m)
{
    char name[64];
    snprintf(name, sizeof name, ".wake.%ld", long(getpid()));
    std::string path = path_of(m, name);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        close(fd);
        unlink(path.c_str());
    }
}

}  // namespace

MESRA_API int mesra_init(mesra **out, const char *address, const char *service, void *user, const mesra_fd_ops *ops)
try {
    if (!out || !valid_name(service)) {
        set_error(nullptr, "invalid arguments");
        return -1;
    }
    *out = nullptr;
    const char *dir = address;
    if (!dir)
        dir = getenv("MESRA_DIR");
    if (!dir || !*dir)
        dir = default_store;
    struct stat st;
    if (stat(dir, &st) != 0) {
        set_error(nullptr, "state directory %s: %s", dir, strerror(errno));
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        set_error(nullptr, "state directory %s: %s", dir, strerror(ENOTDIR));
        return -1;
    }
    int ifd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (ifd < 0) {
        set_error(nullptr, "inotify: %s", strerror(errno));
        return -1;
    }
    if (inotify_add_watch(ifd, dir, watch_mask) < 0) {
        set_error(nullptr, "watch %s: %s", dir, strerror(errno));
        close(ifd);
        return -1;
    }
    mesra *m = new (std::nothrow) mesra();
    if (!m) {
        set_error(nullptr, "out of memory");
        close(ifd);
        return -1;
    }
    m->dir = dir;
    m->service = service;
    m->inotify_fd = ifd;
    m->user = user;
    if (ops)
        m->ops = *ops;
    *out = m;
    if (m->ops.add_fd) {
        m->fd_registered = true;
        m->ops.add_fd(m, ifd, user);
    }
    return 0;
} catch (...) {
    set_error(nullptr, "out of memory");
    return -1;
}

MESRA_API const char *mesra_errstr(const mesra *m)
{
    return m ? m->err.c_str() : init_error;
}

MESRA_API int mesra_publish_state_up(mesra *m, unsigned ttl_ms, const char *detail)
try {
    (void)ttl_ms;  // the store keeps records until they are removed
    (void)detail;
    if (!m)
        return -1;
    std::string name = m->service + ".state";
    if (write_file(m, name.c_str(), "1\n", 2) != 0)
        return -1;
    m->state_published = true;
    return 0;
} catch (...) {
    return -1;
}

MESRA_API int mesra_subscribe(mesra_sub **out, mesra *m, const char *key, const char *field, mesra_change_cb cb,
                              void *user, int flags)
try {
    if (!m)
        return -1;
    if (!out || !cb || !valid_name(key) || !valid_name(field)) {
        set_error(m, "invalid subscription");
        return -1;
    }
    mesra_sub *sub = new mesra_sub();
    sub->m = m;
    sub->key = key;
    sub->field = field;
    sub->file = sub->key + "." + sub->field;
    sub->cb = cb;
    sub->user = user;
    sub->current_pending = (flags & MESRA_SUB_CURRENT) != 0;
    m->revs.emplace(sub->file, 0);
    m->subs.push_back(sub);
    *out = sub;
    if (sub->current_pending)
        wake(m);
    return 0;
} catch (...) {
    if (m)
        set_error(m, "out of memory");
    return -1;
}

MESRA_API int mesra_publish(mesra *m, const char *key, const void *value, size_t len, int flags)
try {
    if (!m)
        return -1;
    if (!valid_name(key) || (len && !value) || flags != 0) {
        set_error(m, "invalid publish of %s", key ? key : "(null)");
        return -1;
    }
    return write_file(m, key, value, len);
} catch (...) {
    return -1;
}

MESRA_API int mesra_delete(mesra *m, const char *key)
try {
    if (!m)
        return -1;
    if (!valid_name(key)) {
        set_error(m, "invalid key %s", key ? key : "(null)");
        return -1;
    }
    if (unlink(path_of(m, key).c_str()) != 0) {
        if (errno == ENOENT) {
            set_error(m, "%s: no such key", key);
            return MESRA_ERR_NOT_FOUND;
        }
        set_error(m, "cannot delete %s/%s: %s", m->dir.c_str(), key, strerror(errno));
        return -1;
    }
    return 0;
} catch (...) {
    return -1;
}

MESRA_API void mesra_dispatch(mesra *m)
try {
    if (!m)
        return;
    m->dispatching++;
    alignas(inotify_event) char buf[8192];
    while (m->fd_registered) {
        ssize_t n = read(m->inotify_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
            const inotify_event *ev = reinterpret_cast<const inotify_event *>(buf + off);
            handle_event(m, ev);
            off += ssize_t(sizeof(inotify_event) + ev->len);
        }
    }
    for (size_t i = 0; i < m->subs.size(); i++) {
        mesra_sub *sub = m->subs[i];
        if (sub->current_pending && !sub->dead) {
            sub->current_pending = false;
            deliver_current(m, sub, false);
        }
    }
    if (--m->dispatching == 0)
        sweep_dead(m);
} catch (...) {
    m->dispatching = 0;
}

MESRA_API void mesra_unsubscribe(mesra_sub *sub)
{
    if (!sub)
        return;
    mesra *m = sub->m;
    if (m->dispatching) {
        sub->dead = true;
        return;
    }
    for (size_t i = 0; i < m->subs.size(); i++) {
        if (m->subs[i] == sub) {
            m->subs.erase(m->subs.begin() + ptrdiff_t(i));
            break;
        }
    }
    delete sub;
}

MESRA_API void mesra_cleanup(mesra *m)
{
    if (!m)
        return;
    unregister_fd(m);
    // The service is no longer up once its connection is gone.
    if (m->state_published) {
        std::string name = m->service + ".state";
        unlink(path_of(m, name.c_str()).c_str());
    }
    for (mesra_sub *sub : m->subs)
        delete sub;
    close(m->inotify_fd);
    delete m;
}
