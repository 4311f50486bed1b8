// Starts a program on the current X display and times, from the outside, how
// long it takes until its first top-level window is mapped, the moment the X
// server makes it viewable and sends it its first Expose, and until the first
// drawing lands in that window. Then samples the program's memory.
//
//     bench_launch [--settle MS] [--timeout MS] [--paint-wait MS] [--smaps FILE]
//                  [--keep] -- PROGRAM [ARGS...]
//
// The watcher selects SubstructureNotify on the root window before the clock
// starts, so it is told of every window created and mapped as a child of the
// root: no polling, and the program itself is not touched. A window counts as
// the program's when its _NET_WM_PID names the started process and it is not
// override-redirect (menus, tooltips). Drawing is seen through the X Damage
// extension: a damage object is put on every new top-level window as soon as
// it is created, and the first damage reported after the map is the first
// frame.
//
// The clock starts just before fork(); times are CLOCK_MONOTONIC. When the
// window is mapped and painted (or --paint-wait has passed), the watcher
// waits --settle milliseconds more, reads /proc/PID/status, prints one JSON
// line on standard output (with --smaps, also the resident memory of each
// mapping to FILE) and then either ends the program with SIGTERM, or with
// --keep waits for it to end (a SIGTERM to the watcher is passed on).
#include "procfs.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

double nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// Windows come and go while we look at them; an error about one that is gone
// is expected and harmless.
int ignoreXErrors(Display *, XErrorEvent *)
{
    return 0;
}

volatile sig_atomic_t childPid = 0;

void passOnSignal(int signal)
{
    if (childPid > 0)
        kill(childPid, signal);
}

long windowPid(Display *display, Window window, Atom netWmPid)
{
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, netWmPid, 0, 1, False, XA_CARDINAL, &type, &format,
                           &items, &after, &data) == Success
        && data && format == 32 && items == 1) {
        pid = long(*reinterpret_cast<unsigned long *>(data));
    }
    if (data)
        XFree(data);
    return pid;
}

std::string windowTitle(Display *display, Window window)
{
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netWmName, 0, 256, False, utf8, &type, &format,
                           &items, &after, &data) == Success
        && data && format == 8) {
        title.assign(reinterpret_cast<char *>(data), items);
    }
    if (data)
        XFree(data);
    return title;
}

int usage()
{
    std::fprintf(stderr, "usage: bench_launch [--settle MS] [--timeout MS] [--paint-wait MS] "
                         "[--smaps FILE] [--keep] -- PROGRAM [ARGS...]\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    double settleMs = 3000, timeoutMs = 30000, paintWaitMs = 2000;
    bool keep = false;
    const char *smapsOut = nullptr;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string arg = argv[first];
        if (arg == "--") {
            ++first;
            break;
        } else if (arg == "--settle" && first + 1 < argc) {
            settleMs = std::atof(argv[++first]);
        } else if (arg == "--timeout" && first + 1 < argc) {
            timeoutMs = std::atof(argv[++first]);
        } else if (arg == "--paint-wait" && first + 1 < argc) {
            paintWaitMs = std::atof(argv[++first]);
        } else if (arg == "--smaps" && first + 1 < argc) {
            smapsOut = argv[++first];
        } else if (arg == "--keep") {
            keep = true;
        } else {
            return usage();
        }
    }
    if (first >= argc)
        return usage();

    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "bench_launch: cannot open the display\n");
        return 1;
    }
    int damageEventBase = 0, damageErrorBase = 0;
    if (!XDamageQueryExtension(display, &damageEventBase, &damageErrorBase)) {
        std::fprintf(stderr, "bench_launch: the X server has no Damage extension\n");
        return 1;
    }
    int damageMajor = 1, damageMinor = 1;
    XDamageQueryVersion(display, &damageMajor, &damageMinor);
    XSetErrorHandler(ignoreXErrors);
    const Window root = DefaultRootWindow(display);
    const Atom netWmPid = XInternAtom(display, "_NET_WM_PID", False);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);
    // The program must not inherit the watcher's connection.
    fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);

    std::signal(SIGTERM, passOnSignal);
    std::signal(SIGINT, passOnSignal);

    const double start = nowMs();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("bench_launch: fork");
        return 1;
    }
    if (pid == 0) {
        execvp(argv[first], argv + first);
        std::fprintf(stderr, "bench_launch: cannot run %s: %s\n", argv[first], std::strerror(errno));
        _exit(127);
    }
    childPid = pid;

    std::map<Window, Damage> damages;
    Window shown = None;
    double exposedAt = -1, paintedAt = -1;
    bool exited = false;
    int status = 0;
    const int connection = ConnectionNumber(display);

    for (;;) {
        const double now = nowMs();
        if (exposedAt >= 0 && (paintedAt >= 0 || now - start > exposedAt + paintWaitMs))
            break;
        if (now - start > timeoutMs)
            break;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        if (!XPending(display)) {
            pollfd fd{ connection, POLLIN, 0 };
            poll(&fd, 1, 50);
        }
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            const double at = nowMs() - start;
            if (event.type == CreateNotify) {
                const XCreateWindowEvent &create = event.xcreatewindow;
                if (create.parent == root && !create.override_redirect && !damages.count(create.window))
                    damages[create.window] = XDamageCreate(display, create.window, XDamageReportNonEmpty);
            } else if (event.type == DestroyNotify) {
                damages.erase(event.xdestroywindow.window);  // the server frees its damage object
            } else if (event.type == MapNotify) {
                const XMapEvent &map = event.xmap;
                if (map.event != root || map.override_redirect || shown != None)
                    continue;
                if (windowPid(display, map.window, netWmPid) != long(pid))
                    continue;
                shown = map.window;
                exposedAt = at;
            } else if (event.type == damageEventBase + XDamageNotify) {
                const auto &damage = reinterpret_cast<const XDamageNotifyEvent &>(event);
                XDamageSubtract(display, damage.damage, None, None);
                if (damage.drawable == shown && exposedAt >= 0 && paintedAt < 0)
                    paintedAt = at;
            }
        }
    }

    if (exposedAt < 0) {
        std::printf("{\"error\": %s, \"pid\": %d}\n",
                    jsonString(exited ? "the program ended before showing a window"
                                      : "no window was shown in time").c_str(),
                    int(pid));
        std::fflush(stdout);
        if (!exited) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        return 1;
    }

    int width = 0, height = 0;
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, shown, &attributes)) {
        width = attributes.width;
        height = attributes.height;
    }
    const std::string title = windowTitle(display, shown);

    // Settle, still reading the X connection so that nothing piles up.
    while (!exited && nowMs() - start < exposedAt + settleMs) {
        pollfd fd{ connection, POLLIN, 0 };
        poll(&fd, 1, 20);
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == damageEventBase + XDamageNotify)
                XDamageSubtract(display, reinterpret_cast<XDamageNotifyEvent &>(event).damage, None, None);
        }
        if (waitpid(pid, &status, WNOHANG) == pid)
            exited = true;
    }
    const double sampledAt = nowMs() - start;
    const ProcessMemory memory = exited ? ProcessMemory() : readProcessMemory(pid);
    if (smapsOut && !exited)
        writeResidentByMapping(pid, smapsOut);

    std::printf("{\"pid\": %d, \"window\": \"0x%lx\", \"title\": %s, \"width\": %d, \"height\": %d, "
                "\"exposed_ms\": %.3f, \"painted_ms\": %.3f, \"sampled_ms\": %.3f, "
                "\"vmhwm_kib\": %ld, \"vmrss_kib\": %ld, \"rssanon_kib\": %ld, \"rssfile_kib\": %ld, "
                "\"rssshmem_kib\": %ld, \"threads\": %ld, \"exited_early\": %s}\n",
                int(pid), shown, jsonString(title).c_str(), width, height, exposedAt, paintedAt,
                sampledAt, memory.vmHwm, memory.vmRss, memory.rssAnon, memory.rssFile,
                memory.rssShmem, memory.threads, exited ? "true" : "false");
    std::fflush(stdout);
    XCloseDisplay(display);

    if (!exited) {
        if (!keep)
            kill(pid, SIGTERM);
        for (int waited = 0;; ++waited) {
            const pid_t done = waitpid(pid, &status, keep ? 0 : WNOHANG);
            if (done == pid || (done < 0 && errno != EINTR))
                break;
            if (!keep && waited == 200)
                kill(pid, SIGKILL);
            if (!keep)
                usleep(10000);
        }
    }
    return exited ? 1 : 0;
}
