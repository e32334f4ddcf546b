// Serves accessories as hidraw device nodes through FUSE, behaving the way the
// kernel's hidraw driver does towards a program:
//  - every open file has a queue of its own for input reports (64 reports; when
//    full, the oldest is dropped), and every report the device sends goes to
//    all files open on it;
//  - a read returns exactly one report (of the size the device sends, cut to
//    the size asked for), blocks while none is queued, or fails with EAGAIN
//    when the file is non-blocking; poll reports POLLIN while one is queued;
//  - once the device is removed, reads fail with EIO, writes with ENODEV, poll
//    reports POLLERR|POLLHUP, and the node is gone from the folder;
//  - HIDIOCGRDESCSIZE, HIDIOCGRDESC and HIDIOCGRAWINFO answer from the device's
//    report descriptor and identity.
// Behind each node sits a model of the accessory that answers the four request
// kinds (record read, record write, firmware block, flash read).
//
//   hidraw_server <mountpoint>
// Commands, one per line on standard input; each is answered "ok" or "error
// <text>" on standard output, where events also appear ("open <node>",
// "request <node> <kind> <detail>", "ioctl <node> <name>", "gone <node>",
// "holding <node>"):
//   add <node> <input size> <bus> <vid> <pid> <descriptor hex>
//   remove <node>            the device goes away now
//   record <node> <name> <value hex>|-   sets (or unsets) a stored record
//   fault <node> <kind> <n>  late <ms> | drop <count> | short <bytes> |
//                            gone-after <requests> | deny <0|1> | hold <0|1>
//   release <node> <errno>   ends an open held by "hold" with this result
//   dump <node> firmware|flash <path>
//   seed <node> <path>       the flash content (up to 512 KiB)
#define FUSE_USE_VERSION 35
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum {
    kQueueLength = 64, // the kernel's HIDRAW_BUFFER_SIZE
    kMaxReport = 4096,
    kMaxWrite = 16384, // the kernel's HID_MAX_BUFFER_SIZE
    kFlashSize = 512 * 1024,
    kFirmwareSize = 1024 * 1024,
    kMaxNodes = 64,
    kMaxOpens = 32,
    kNameLength = 32,
};

struct report {
    size_t size;
    uint8_t data[kMaxReport];
};

struct node;

struct open_file {
    struct node *node;
    struct report queue[kQueueLength];
    int head, count;
    struct fuse_pollhandle *poll;
};

struct record {
    char name[17];
    bool set;
    size_t length;
    uint8_t value[1024];
};

struct node {
    char name[kNameLength];
    bool present; // listed in the folder
    bool exists;  // the device is still attached (false once removed)
    size_t input_size;
    uint32_t bus;
    int16_t vendor, product;
    uint8_t descriptor[HID_MAX_DESCRIPTOR_SIZE];
    size_t descriptor_size;
    struct open_file *opens[kMaxOpens];
    struct record records[3];
    uint8_t flash[kFlashSize];
    uint8_t firmware[kFirmwareSize];
    size_t firmware_end;
    // Faults the rig sets.
    int late_ms, drop, short_bytes, gone_after;
    bool deny, hold, holding;
    int release_errno;
};

static struct node *nodes[kMaxNodes];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static pthread_mutex_t out_lock = PTHREAD_MUTEX_INITIALIZER;

static void say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    pthread_mutex_lock(&out_lock);
    vfprintf(stdout, format, args);
    fputc('\n', stdout);
    fflush(stdout);
    pthread_mutex_unlock(&out_lock);
    va_end(args);
}

// The attached device of that name, else (unless `present_only`) the one of
// that name removed last.
static struct node *find_node(const char *name, bool present_only) {
    struct node *removed = NULL;
    for (int i = 0; i < kMaxNodes; ++i) {
        if (!nodes[i] || strcmp(nodes[i]->name, name) != 0)
            continue;
        if (nodes[i]->present)
            return nodes[i];
        removed = nodes[i];
    }
    return present_only ? NULL : removed;
}

static struct node *node_of_path(const char *path) {
    return path[0] == '/' ? find_node(path + 1, true) : NULL;
}

// Queues one input report on every file open on the device; called with `lock` held.
static void deliver(struct node *n, const uint8_t *data, size_t size) {
    for (int i = 0; i < kMaxOpens; ++i) {
        struct open_file *f = n->opens[i];
        if (!f)
            continue;
        if (f->count == kQueueLength) { // full: the oldest report is dropped
            f->head = (f->head + 1) % kQueueLength;
            --f->count;
        }
        struct report *slot = &f->queue[(f->head + f->count) % kQueueLength];
        slot->size = size;
        memcpy(slot->data, data, size);
        ++f->count;
        if (f->poll)
            fuse_notify_poll(f->poll);
    }
    pthread_cond_broadcast(&changed);
}

static void remove_device(struct node *n) {
    n->exists = false;
    n->present = false;
    for (int i = 0; i < kMaxOpens; ++i)
        if (n->opens[i] && n->opens[i]->poll)
            fuse_notify_poll(n->opens[i]->poll);
    pthread_cond_broadcast(&changed);
    say("gone %s", n->name);
}

// ---- The accessory: what it answers to each request ----

static uint16_t get16(const uint8_t *p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}
static uint32_t get32(const uint8_t *p) {
    return get16(p) | ((uint32_t)get16(p + 2) << 16);
}
static void put16(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v & 0xFF);
    p[1] = (uint8_t)((v >> 8) & 0xFF);
}

static struct record *find_record(struct node *n, const char *name) {
    for (int i = 0; i < 3; ++i)
        if (strncmp(n->records[i].name, name, 16) == 0)
            return &n->records[i];
    return NULL;
}

// `request` holds the bytes written, report number first. Fills `reply` (the
// input report, no report number) and returns false when the accessory does
// not answer the request at all.
static bool answer(struct node *n, const uint8_t *request, size_t size, uint8_t *reply) {
    memset(reply, 0, n->input_size);
    if (size < 9)
        return false;
    const uint8_t command = request[3], target = request[4];
    char name[17] = {0};
    if (command == 1 && target == 3 && size >= 25) { // record read
        memcpy(name, request + 9, 16);
        struct record *r = find_record(n, name);
        say("request %s record-read %s", n->name, name);
        const size_t offset = strcmp(name, "version") == 0 ? 34 : 26;
        if (!r || !r->set) { // never written: the length field reads as erased
            put16(reply + 8, 0xFFFF);
            return true;
        }
        size_t length = r->length;
        if (offset + length > n->input_size)
            length = n->input_size - offset;
        put16(reply + 8, (uint32_t)r->length);
        memcpy(reply + offset, r->value, length);
        return true;
    }
    if (command == 0 && target == 3 && size >= 27) { // record write
        memcpy(name, request + 11, 16);
        size_t length = get16(request + 9);
        if (27 + length > size)
            return false;
        struct record *r = find_record(n, name);
        char hex[2 * sizeof r->value + 1] = {0};
        for (size_t i = 0; i < length && i < sizeof r->value; ++i)
            snprintf(hex + 2 * i, 3, "%02x", request[27 + i]);
        say("request %s record-write %s %s", n->name, name, hex[0] ? hex : "-");
        if (!r)
            return true;
        r->set = true;
        r->length = length;
        memcpy(r->value, request + 27, length);
        return true;
    }
    if (command == 2 && target == 1 && size >= 13 + 512) { // firmware block
        const uint32_t address = get32(request + 9);
        say("request %s firmware %u", n->name, address);
        if (get16(request + 7) != 512 || address + 512 > kFirmwareSize)
            return true;
        memcpy(n->firmware + address, request + 13, 512);
        if (address + 512 > n->firmware_end)
            n->firmware_end = address + 512;
        return true;
    }
    if (command == 1 && target == 2 && size >= 15) { // flash read
        const uint32_t address = get32(request + 11);
        say("request %s flash-read %u", n->name, address);
        if (address + 512 <= kFlashSize)
            memcpy(reply + 14, n->flash + address, 512);
        return true;
    }
    say("request %s unknown %u/%u", n->name, command, target);
    return false;
}

struct late_reply {
    struct node *node;
    int delay_ms;
    size_t size;
    uint8_t data[kMaxReport];
};

static void *send_late(void *arg) {
    struct late_reply *late = arg;
    struct timespec pause = {late->delay_ms / 1000, (late->delay_ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
    pthread_mutex_lock(&lock);
    if (late->node->exists)
        deliver(late->node, late->data, late->size);
    pthread_mutex_unlock(&lock);
    free(late);
    return NULL;
}

// Runs the request through the accessory and its faults; called with `lock` held.
static void handle_request(struct node *n, const uint8_t *request, size_t size) {
    uint8_t reply[kMaxReport];
    if (!answer(n, request, size, reply))
        return;
    if (n->gone_after > 0 && --n->gone_after == 0) { // removed while the reply is awaited
        remove_device(n);
        return;
    }
    if (n->drop > 0) {
        --n->drop;
        return;
    }
    size_t reply_size = n->input_size;
    if (n->short_bytes > 0) {
        reply_size = (size_t)n->short_bytes;
        n->short_bytes = 0;
    }
    if (n->late_ms <= 0) {
        deliver(n, reply, reply_size);
        return;
    }
    struct late_reply *late = malloc(sizeof *late);
    pthread_t thread;
    late->node = n;
    late->delay_ms = n->late_ms;
    late->size = reply_size;
    memcpy(late->data, reply, reply_size);
    if (pthread_create(&thread, NULL, send_late, late) == 0)
        pthread_detach(thread);
    else
        free(late);
}

// ---- The file system ----

static int fs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    pthread_mutex_lock(&lock);
    struct node *n = node_of_path(path);
    pthread_mutex_unlock(&lock);
    if (!n)
        return -ENOENT;
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    return 0;
}

static int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
    (void)offset, (void)fi, (void)flags;
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    pthread_mutex_lock(&lock);
    for (int i = 0; i < kMaxNodes; ++i)
        if (nodes[i] && nodes[i]->present)
            fill(buf, nodes[i]->name, NULL, 0, 0);
    pthread_mutex_unlock(&lock);
    return 0;
}

static int fs_open(const char *path, struct fuse_file_info *fi) {
    pthread_mutex_lock(&lock);
    struct node *n = node_of_path(path);
    if (!n) {
        pthread_mutex_unlock(&lock);
        return -ENOENT;
    }
    say("open %s", n->name);
    if (n->hold) { // the open waits until the rig releases it
        n->holding = true;
        n->release_errno = -1;
        say("holding %s", n->name);
        while (n->release_errno < 0)
            pthread_cond_wait(&changed, &lock);
        n->holding = false;
        n->hold = false;
        if (n->release_errno > 0) {
            const int result = -n->release_errno;
            pthread_mutex_unlock(&lock);
            return result;
        }
    }
    if (n->deny || !n->exists) {
        const int result = n->deny ? -EACCES : -ENODEV;
        pthread_mutex_unlock(&lock);
        return result;
    }
    int slot = 0;
    while (slot < kMaxOpens && n->opens[slot])
        ++slot;
    if (slot == kMaxOpens) {
        pthread_mutex_unlock(&lock);
        return -EMFILE;
    }
    struct open_file *f = calloc(1, sizeof *f);
    f->node = n;
    n->opens[slot] = f;
    pthread_mutex_unlock(&lock);
    fi->fh = (uint64_t)(uintptr_t)f;
    fi->direct_io = 1;
    fi->nonseekable = 1;
    return 0;
}

static int fs_release(const char *path, struct fuse_file_info *fi) {
    (void)path;
    struct open_file *f = (struct open_file *)(uintptr_t)fi->fh;
    pthread_mutex_lock(&lock);
    for (int i = 0; i < kMaxOpens; ++i)
        if (f->node->opens[i] == f)
            f->node->opens[i] = NULL;
    pthread_mutex_unlock(&lock);
    if (f->poll)
        fuse_pollhandle_destroy(f->poll);
    free(f);
    return 0;
}

static int fs_read(const char *path, char *buf, size_t size, off_t offset,
                   struct fuse_file_info *fi) {
    (void)path, (void)offset;
    struct open_file *f = (struct open_file *)(uintptr_t)fi->fh;
    int result;
    pthread_mutex_lock(&lock);
    for (;;) {
        if (!f->node->exists) {
            result = -EIO;
            break;
        }
        if (f->count > 0) {
            const struct report *r = &f->queue[f->head];
            const size_t length = r->size < size ? r->size : size;
            memcpy(buf, r->data, length);
            f->head = (f->head + 1) % kQueueLength;
            --f->count;
            result = (int)length;
            break;
        }
        if (fi->flags & O_NONBLOCK) {
            result = -EAGAIN;
            break;
        }
        if (fuse_interrupted()) {
            result = -EINTR;
            break;
        }
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 100 * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        pthread_cond_timedwait(&changed, &lock, &until);
    }
    pthread_mutex_unlock(&lock);
    return result;
}

static int fs_write(const char *path, const char *buf, size_t size, off_t offset,
                    struct fuse_file_info *fi) {
    (void)path, (void)offset;
    struct open_file *f = (struct open_file *)(uintptr_t)fi->fh;
    pthread_mutex_lock(&lock);
    int result = (int)size;
    if (!f->node->exists)
        result = -ENODEV;
    else if (size < 2 || size > kMaxWrite)
        result = -EINVAL;
    else
        handle_request(f->node, (const uint8_t *)buf, size);
    pthread_mutex_unlock(&lock);
    return result;
}

static int fs_poll(const char *path, struct fuse_file_info *fi, struct fuse_pollhandle *ph,
                   unsigned *reventsp) {
    (void)path;
    struct open_file *f = (struct open_file *)(uintptr_t)fi->fh;
    pthread_mutex_lock(&lock);
    if (ph) {
        if (f->poll)
            fuse_pollhandle_destroy(f->poll);
        f->poll = ph;
    }
    unsigned events = POLLOUT | POLLWRNORM;
    if (f->count > 0)
        events |= POLLIN | POLLRDNORM;
    if (!f->node->exists)
        events |= POLLERR | POLLHUP;
    pthread_mutex_unlock(&lock);
    *reventsp = events;
    return 0;
}

static int fs_ioctl(const char *path, unsigned int cmd, void *arg, struct fuse_file_info *fi,
                    unsigned int flags, void *data) {
    (void)path, (void)arg, (void)flags;
    struct open_file *f = (struct open_file *)(uintptr_t)fi->fh;
    int result = 0;
    pthread_mutex_lock(&lock);
    struct node *n = f->node;
    say("ioctl %s %s", n->name,
        cmd == HIDIOCGRDESCSIZE ? "HIDIOCGRDESCSIZE"
        : cmd == HIDIOCGRDESC   ? "HIDIOCGRDESC"
        : cmd == HIDIOCGRAWINFO ? "HIDIOCGRAWINFO"
                                : "other");
    if (!n->exists)
        result = -EIO;
    else if (cmd == HIDIOCGRDESCSIZE)
        *(int *)data = (int)n->descriptor_size;
    else if (cmd == HIDIOCGRDESC) {
        struct hidraw_report_descriptor *d = data;
        d->size = (uint32_t)n->descriptor_size;
        memcpy(d->value, n->descriptor, n->descriptor_size);
    } else if (cmd == HIDIOCGRAWINFO) {
        struct hidraw_devinfo *info = data;
        info->bustype = n->bus;
        info->vendor = n->vendor;
        info->product = n->product;
    } else
        result = -ENOTTY;
    pthread_mutex_unlock(&lock);
    return result;
}

// ---- Commands from the rig ----

static size_t from_hex(const char *hex, uint8_t *out, size_t capacity) {
    size_t length = 0;
    while (hex[0] && hex[1] && length < capacity) {
        unsigned byte;
        if (sscanf(hex, "%2x", &byte) != 1)
            break;
        out[length++] = (uint8_t)byte;
        hex += 2;
    }
    return length;
}

static bool write_file(const char *path, const uint8_t *data, size_t size) {
    FILE *file = fopen(path, "wb");
    if (!file)
        return false;
    const bool written = fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && written;
}

static struct node *add_node(const char *name, size_t input_size, unsigned bus, unsigned vid,
                             unsigned pid, const char *descriptor_hex) {
    int slot = 0;
    while (slot < kMaxNodes && nodes[slot])
        ++slot;
    if (slot == kMaxNodes || input_size < 16 || input_size > kMaxReport || find_node(name, true))
        return NULL;
    // A device that was removed keeps its memory: files still open on it
    // point there and must go on seeing it gone.
    struct node *n = calloc(1, sizeof *n);
    snprintf(n->name, sizeof n->name, "%s", name);
    n->present = n->exists = true;
    n->input_size = input_size;
    n->bus = bus;
    n->vendor = (int16_t)vid;
    n->product = (int16_t)pid;
    n->descriptor_size = from_hex(descriptor_hex, n->descriptor, sizeof n->descriptor);
    static const char *const names[3] = {"version", "rp.psnid", "rp.pin"};
    for (int i = 0; i < 3; ++i)
        snprintf(n->records[i].name, sizeof n->records[i].name, "%s", names[i]);
    for (size_t i = 0; i < kFlashSize; ++i)
        n->flash[i] = (uint8_t)((i * 7 + i / 512) & 0xFF);
    nodes[slot] = n;
    return n;
}

static const char *run_command(char *line) {
    char verb[16] = {0}, name[kNameLength] = {0}, a[64] = {0}, b[64] = {0};
    static char rest[16384];
    rest[0] = '\0';
    const int fields = sscanf(line, "%15s %31s %63s %63s %16383s", verb, name, a, b, rest);
    if (fields < 2)
        return "missing arguments";
    if (strcmp(verb, "add") == 0) {
        char descriptor[16384] = {0};
        unsigned size, bus, vid, pid;
        if (sscanf(line, "add %*s %u %x %x %x %16383s", &size, &bus, &vid, &pid, descriptor) != 5)
            return "usage: add <node> <size> <bus> <vid> <pid> <descriptor>";
        return add_node(name, size, bus, vid, pid, descriptor) ? NULL : "cannot add";
    }
    struct node *n = find_node(name, false);
    if (!n)
        return "no such node";
    if (strcmp(verb, "remove") == 0) {
        if (n->exists)
            remove_device(n);
        return NULL;
    }
    if (strcmp(verb, "record") == 0 && fields >= 4) {
        struct record *r = find_record(n, a);
        if (!r)
            return "no such record";
        r->set = strcmp(b, "-") != 0;
        r->length = r->set ? from_hex(b, r->value, sizeof r->value) : 0;
        return NULL;
    }
    if (strcmp(verb, "fault") == 0 && fields >= 4) {
        const int value = atoi(b);
        if (strcmp(a, "late") == 0)
            n->late_ms = value;
        else if (strcmp(a, "drop") == 0)
            n->drop = value;
        else if (strcmp(a, "short") == 0)
            n->short_bytes = value;
        else if (strcmp(a, "gone-after") == 0)
            n->gone_after = value;
        else if (strcmp(a, "deny") == 0)
            n->deny = value != 0;
        else if (strcmp(a, "hold") == 0)
            n->hold = value != 0;
        else
            return "no such fault";
        return NULL;
    }
    if (strcmp(verb, "release") == 0 && fields >= 3) {
        if (!n->holding)
            return "no open is held";
        n->release_errno = atoi(a);
        pthread_cond_broadcast(&changed);
        return NULL;
    }
    if (strcmp(verb, "dump") == 0 && fields >= 4) {
        const bool firmware = strcmp(a, "firmware") == 0;
        return write_file(b, firmware ? n->firmware : n->flash,
                          firmware ? n->firmware_end : kFlashSize)
                   ? NULL
                   : "cannot write the file";
    }
    if (strcmp(verb, "seed") == 0 && fields >= 3) {
        FILE *file = fopen(a, "rb");
        if (!file)
            return "cannot read the file";
        memset(n->flash, 0, kFlashSize);
        const size_t got = fread(n->flash, 1, kFlashSize, file);
        fclose(file);
        (void)got;
        return NULL;
    }
    return "unknown command";
}

static void *command_loop(void *arg) {
    struct fuse *fuse = arg;
    char line[40000];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\n")] = '\0';
        if (line[0] == '\0')
            continue;
        pthread_mutex_lock(&lock);
        const char *error = run_command(line);
        pthread_mutex_unlock(&lock);
        if (error)
            say("error %s", error);
        else
            say("ok");
    }
    // The rig closed its end (or died): end now. Closing the FUSE device
    // aborts the mount, so nothing blocked on a node is left waiting.
    (void)fuse;
    exit(0);
}

static const struct fuse_operations operations = {
    .getattr = fs_getattr,
    .readdir = fs_readdir,
    .open = fs_open,
    .release = fs_release,
    .read = fs_read,
    .write = fs_write,
    .poll = fs_poll,
    .ioctl = fs_ioctl,
};

int main(int argc, char *argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <mountpoint>\n", argv[0]);
        return 2;
    }
    char *fuse_argv[] = {argv[0], "-o", "fsname=rig-hidraw", NULL};
    struct fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    struct fuse *fuse = fuse_new(&args, &operations, sizeof operations, NULL);
    if (!fuse || fuse_mount(fuse, argv[1]) != 0) {
        fprintf(stderr, "cannot mount %s\n", argv[1]);
        return 1;
    }
    say("mounted");
    pthread_t commands;
    pthread_create(&commands, NULL, command_loop, fuse);
    struct fuse_loop_config config = {.clone_fd = 0, .max_idle_threads = 16};
    const int result = fuse_loop_mt(fuse, &config);
    fuse_unmount(fuse);
    fuse_destroy(fuse);
    return result == 0 ? 0 : 1;
}
