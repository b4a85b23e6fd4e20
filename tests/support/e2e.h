#pragma once
// End-to-end harness: the real launcher in a temporary program folder, on a private X display
// with a window manager, seen through xdotool and screenshots, with a test server on 127.0.0.1
// that the test pages report to. Every wait is bounded; every process started here is ended by
// the object that started it. X tests must be registered SERIAL.
//
//   tw::test::e2e::XSession x;                   // Xvfb on a free display + openbox
//   tw::test::e2e::ReportServer server;          // 127.0.0.1, ephemeral port
//   tw::test::e2e::LauncherFolder folder;        // copy of the real launcher
//   folder.WritePage(server.PageWithReporter("<script>twReport('hello', 'x')</script>"));
//   auto launcher = folder.Start(x);
//   auto report = server.WaitFor("hello");       // std::optional<Report>
//   auto window = x.WaitForWindow(tw::test::e2e::WindowQuery::OfClass("UIFrameEx"));
//   auto shot = x.Screenshot("my-test");         // build/e2e-artifacts/my-test.png
#include "test_support.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace tw::test::e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using tw::test::WaitUntil;

// Folder for screenshots and logs that people look at after a run: <build>/e2e-artifacts/.
std::string ArtifactDir();
// "<suite>.<test>" of the running GoogleTest test, or "run" outside a test; safe in file names.
std::string CurrentTestName();

// A child process in a process group of its own, its output in files. Ending the object ends the
// whole group.
class Process {
public:
    struct Options {
        std::string program;
        std::vector<std::string> args;
        std::map<std::string, std::string> env; // set (an empty value unsets)
        std::string workFolder;
        std::string stdoutPath = "/dev/null";
        std::string stderrPath = "/dev/null";
        std::vector<std::pair<int, int>> keepFds; // (fd in parent, fd in child)
    };
    explicit Process(const Options& options);
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();

    int Pid() const { return pid_; }
    // The exit code (128 + signal number when killed) once the process has ended within the
    // timeout; nothing while it still runs.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    bool Running();
    void Signal(int signal);
    // SIGKILL to the whole group, then reaped.
    void Kill();

private:
    int pid_ = -1;
    std::optional<int> exitCode_;
};

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

struct WindowQuery {
    std::string name;      // regular expression on the title (xdotool --name)
    std::string className; // regular expression on the WM_CLASS (xdotool --class)
    bool onlyVisible = true;

    static WindowQuery Named(std::string nameRe, std::string classRe = {}) {
        WindowQuery q;
        q.name = std::move(nameRe);
        q.className = std::move(classRe);
        return q;
    }
    static WindowQuery OfClass(std::string classRe) { return Named({}, std::move(classRe)); }
};

struct Rgb {
    int r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};
std::string ToString(const Rgb& c);
// True when every channel is within `tolerance` of the other colour.
bool Near(const Rgb& a, const Rgb& b, int tolerance = 8);

struct Image {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb; // rows top-down, 3 bytes a pixel
    std::string path;              // the PNG kept as an artifact
    Rgb At(int x, int y) const;
    // Share of the pixels in the rectangle that are Near `colour`.
    double Share(const Geometry& area, const Rgb& colour, int tolerance = 8) const;
};

// Xvfb on a display it picks itself, with openbox (unless told otherwise) configured for the
// tests: Alt+F4 closes, new windows take the focus.
class XSession {
public:
    explicit XSession(int width = 1280, int height = 1024, bool windowManager = true);
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;
    ~XSession();

    const std::string& Display() const { return display_; }
    int Width() const { return width_; }
    int Height() const { return height_; }

    // Runs a command with this display (through the shell, bounded to 30 s); its stdout.
    std::string Run(const std::string& command) const;
    int RunStatus(const std::string& command) const;

    std::vector<std::string> FindWindows(const WindowQuery& query) const;
    std::optional<std::string> WaitForWindow(const WindowQuery& query, std::chrono::milliseconds timeout = 30s) const;
    // True once no window matches any more.
    bool WaitForNoWindow(const WindowQuery& query, std::chrono::milliseconds timeout = 30s) const;
    Geometry WindowGeometry(const std::string& window) const; // outer, in root coordinates
    std::string WindowName(const std::string& window) const;
    std::string WindowClass(const std::string& window) const; // WM_CLASS as xprop prints it
    bool IsViewable(const std::string& window) const;

    void Activate(const std::string& window) const;
    void Key(const std::string& keys) const; // to the focused window
    void KeyTo(const std::string& window, const std::string& keys) const;
    void MoveMouse(int x, int y) const;
    void Click(int x, int y, int button = 1) const;

    // The whole screen, kept as <ArtifactDir>/<name>.png.
    Image Screenshot(const std::string& name) const;

private:
    std::string display_;
    int width_, height_;
    std::string configFolder_;
    std::unique_ptr<Process> xvfb_;
    std::unique_ptr<Process> wm_;
};

// What a test page sent to the server, or any request the server saw.
struct Request {
    std::string method;
    std::string path;
    std::string body;
    std::map<std::string, std::string> headers; // names in lower case
};
struct Report {
    std::string kind;
    std::string data;
};

// An HTTP server on 127.0.0.1 and an ephemeral port. Pages call twReport(kind, data) (defined by
// ReporterScript) to send a report; the server also answers routes that a test sets up.
class ReportServer {
public:
    struct Response {
        int status = 200;
        std::string contentType = "text/html; charset=utf-8";
        std::string body;
        std::map<std::string, std::string> headers;
        int delayMs = 0; // the answer waits this long (a slow page)
    };
    // An HTML answer.
    static Response Html(std::string body, int status = 200) {
        Response r;
        r.status = status;
        r.body = std::move(body);
        return r;
    }
    // On 127.0.0.1 unless told otherwise (127.0.0.2 is another site on the same machine).
    explicit ReportServer(const std::string& host = "127.0.0.1");
    ReportServer(const ReportServer&) = delete;
    ReportServer& operator=(const ReportServer&) = delete;
    ~ReportServer();

    int Port() const { return port_; }
    std::string BaseUrl() const; // http://<host>:<port>

    // Answers GET and POST of `path` (exact) with `response` from now on.
    void Serve(const std::string& path, const Response& response);

    // Script text defining window.twReport(kind, data): sends the report, retrying a failed send.
    std::string ReporterScript() const;
    // A complete UTF-8 page with the reporter in its head and `body` as its body.
    std::string PageWithReporter(const std::string& body, const std::string& head = {}) const;

    std::vector<Report> Reports(const std::string& kind = {}) const;
    std::vector<Request> Requests(const std::string& path = {}) const;
    // The `count`-th report of `kind` (1-based) once it has arrived within the timeout.
    std::optional<Report> WaitFor(const std::string& kind, std::chrono::milliseconds timeout = 30s,
                                  std::size_t count = 1) const;
    std::optional<Request> WaitForRequest(const std::string& path, std::chrono::milliseconds timeout = 30s) const;

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::string host_;
    int port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Report> reports_;
    std::vector<Request> requests_;
    std::map<std::string, Response> routes_;
};

// Memory of a process and all its descendants.
struct TreeMemory {
    int processes = 0;
    std::uint64_t rssKiB = 0;
    std::uint64_t pssKiB = 0;
};
TreeMemory ProcessTreeMemory(int pid);
std::vector<int> ProcessTree(int pid); // pid and its descendants

// A temporary program folder holding a copy of the real launcher, with a session folder of its
// own (so that its single-instance marker is private to the test) and a home folder.
class LauncherFolder {
public:
    struct StartOptions {
        std::vector<std::string> args;
        std::map<std::string, std::string> env; // added to / overriding the defaults
        // Run in a process and mount namespace of its own where the system allows it: the
        // launcher then sees, and ends, only its own processes, and nothing of it outlives the
        // test. Tests of what it does to outside processes turn this off.
        bool isolate = true;
        std::string program; // another executable in the folder's place (benchmarks)
    };

    LauncherFolder();
    const std::string& Path() const { return folder_.Path(); } // ends in '/'
    std::string Executable() const { return Path() + "launcher"; }
    // The launcher's session folder (XDG_RUNTIME_DIR): the single-instance marker lives there.
    std::string SessionFolder() const { return Path() + ".session"; }

    // Writes a file below the folder (launcherui/index.html by default).
    void WritePage(const std::string& html, const std::string& relative = "launcherui/index.html") const;
    // Copies the demo UI (ui/launcherui of the source tree) into the folder.
    void CopyDemoPage() const;

    // Starts the launcher (in the folder, as its working folder) on the display of `x`. Its
    // output goes to <ArtifactDir>/<test>-launcher-<n>.{out,err}, n counting the starts of the test.
    std::unique_ptr<Process> Start(const XSession& x, const StartOptions& options) const;
    std::unique_ptr<Process> Start(const XSession& x, std::vector<std::string> args = {}) const;

    // The process that is the launcher itself: the started one, or inside its namespace the
    // first child of the namespace's starter.
    static int LauncherPid(const Process& started);

private:
    TempFolder folder_;
};

// Closes the launcher's main window with Alt+F4 through the window manager; expects the window to
// hide at once and gives the launcher's exit code once it has ended (nothing after 30 s).
std::optional<int> CloseWithAltF4(const XSession& x, Process& launcher, const std::string& window);

// True when process namespaces can be used here (probed once).
bool NamespacesAvailable();

} // namespace tw::test::e2e
