#include "e2e.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace tw::test::e2e {

std::string ArtifactDir() {
    std::string dir = BuildDir() + "/e2e-artifacts/";
    fs::create_directories(dir);
    return dir;
}

std::string CurrentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "run";
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            c = '_';
    return name;
}

namespace {

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

// Moves a descriptor out of the 0-9 range so that a child's dup2 onto a low number never meets it.
int HighFd(int fd) {
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return high;
}

} // namespace

// ---- Process ----

Process::Process(const Options& o) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        auto eq = kv.find('=');
        if (eq != std::string::npos)
            env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : o.env) {
        if (v.empty())
            env.erase(k);
        else
            env[k] = v;
    }
    std::vector<std::string> envStore;
    for (const auto& [k, v] : env)
        envStore.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStore)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStore{o.program};
    argStore.insert(argStore.end(), o.args.begin(), o.args.end());
    std::vector<char*> argv;
    for (auto& s : argStore)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, o.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, o.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (const auto& [from, to] : o.keepFds)
        posix_spawn_file_actions_adddup2(&actions, from, to);
    if (!o.workFolder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, o.workFolder.c_str());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, o.program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + o.program + ": " + std::strerror(rc));
    pid_ = pid;
}

Process::~Process() {
    Kill();
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
    if (exitCode_)
        return exitCode_;
    WaitUntil(
        [&] {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_)
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else if (r < 0 && errno == ECHILD)
                exitCode_ = -1;
            return exitCode_.has_value();
        },
        timeout, 20ms);
    return exitCode_;
}

bool Process::Running() {
    return !Wait(0ms).has_value();
}

void Process::Signal(int signal) {
    if (Running())
        ::kill(pid_, signal);
}

void Process::Kill() {
    if (pid_ <= 0)
        return;
    // The group first: helpers the process started in its group go with it.
    ::kill(-pid_, SIGKILL);
    if (Running()) {
        ::kill(pid_, SIGKILL);
        Wait(10s);
    }
}

// ---- colours and images ----

std::string ToString(const Rgb& c) {
    return "rgb(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

bool Near(const Rgb& a, const Rgb& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

Rgb Image::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return {-1, -1, -1};
    const std::size_t i =
        (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
}

double Image::Share(const Geometry& area, const Rgb& colour, int tolerance) const {
    long hits = 0, total = 0;
    for (int y = area.y; y < area.y + area.height; ++y)
        for (int x = area.x; x < area.x + area.width; ++x) {
            ++total;
            hits += Near(At(x, y), colour, tolerance);
        }
    return total ? static_cast<double>(hits) / static_cast<double>(total) : 0.0;
}

// ---- XSession ----

namespace {

const char* const kOpenboxConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <placement><policy>Smart</policy></placement>
  <desktops><number>1</number></desktops>
  <margins><top>0</top><bottom>0</bottom><left>0</left><right>0</right></margins>
  <keyboard>
    <keybind key="A-F4"><action name="Close"/></keybind>
    <keybind key="A-space"><action name="ShowMenu"><menu>client-menu</menu></action></keybind>
  </keyboard>
  <mouse><context name="Root"/></mouse>
</openbox_config>
)";

} // namespace

XSession::XSession(int width, int height, bool windowManager) : width_(width), height_(height) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const int readEnd = HighFd(fds[0]);
    const int writeEnd = HighFd(fds[1]);
    Process::Options xo;
    xo.program = "Xvfb";
    xo.args = {"-displayfd", "3",   "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24",
               "-nolisten",  "tcp", "-noreset"};
    xo.keepFds = {{writeEnd, 3}};
    xo.stderrPath = ArtifactDir() + CurrentTestName() + "-xvfb.log";
    xvfb_ = std::make_unique<Process>(xo);
    ::close(writeEnd);

    // Xvfb writes its display number once it accepts connections.
    std::string number;
    const auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline) {
        pollfd p{readEnd, POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            char buffer[32];
            ssize_t n = ::read(readEnd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            number.append(buffer, static_cast<std::size_t>(n));
            if (number.find('\n') != std::string::npos)
                break;
        }
        if (!xvfb_->Running())
            break;
    }
    ::close(readEnd);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' '))
        number.pop_back();
    if (number.empty())
        throw std::runtime_error("Xvfb did not start (see " + xo.stderrPath + ")");
    display_ = ":" + number;

    if (!windowManager)
        return;
    configFolder_ =
        (fs::temp_directory_path() / ("tarnwick-openbox-" + number + "-" + std::to_string(::getpid()))).string();
    fs::create_directories(configFolder_);
    std::ofstream(configFolder_ + "/rc.xml") << kOpenboxConfig;
    Process::Options wo;
    wo.program = "openbox";
    wo.args = {"--config-file", configFolder_ + "/rc.xml", "--sm-disable"};
    wo.env = {{"DISPLAY", display_},
              {"HOME", configFolder_},
              {"XDG_CONFIG_HOME", configFolder_},
              {"XDG_CACHE_HOME", configFolder_}};
    wo.stderrPath = ArtifactDir() + CurrentTestName() + "-openbox.log";
    wm_ = std::make_unique<Process>(wo);
    // The manager is in charge once it has announced itself on the root window.
    if (!WaitUntil([&] { return Run("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") != std::string::npos; },
                   20s, 50ms))
        throw std::runtime_error("openbox did not come up on " + display_);
}

XSession::~XSession() {
    wm_.reset();
    xvfb_.reset();
    if (!configFolder_.empty()) {
        std::error_code ec;
        fs::remove_all(configFolder_, ec);
    }
}

std::string XSession::Run(const std::string& command) const {
    // A UTF-8 locale, so that window titles in Chinese compare as they are.
    return ShellOutput("DISPLAY=" + display_ + " LC_ALL=C.UTF-8 timeout 30 " + command + " 2>/dev/null");
}

int XSession::RunStatus(const std::string& command) const {
    return Shell("DISPLAY=" + display_ + " LC_ALL=C.UTF-8 timeout 30 " + command + " >/dev/null 2>&1");
}

std::vector<std::string> XSession::FindWindows(const WindowQuery& q) const {
    // xdotool takes one pattern for all the properties it is told to match, so a query on both
    // class and title asks for the class and checks the title here.
    std::string cmd = "xdotool search";
    if (q.onlyVisible)
        cmd += " --onlyvisible";
    cmd += q.className.empty() ? " --name " + Quote(q.name) : " --class " + Quote(q.className);
    std::vector<std::string> out;
    std::istringstream lines(Run(cmd));
    const bool both = !q.name.empty() && !q.className.empty();
    const std::regex title(both ? q.name : std::string());
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && (!both || std::regex_search(WindowName(line), title)))
            out.push_back(line);
    return out;
}

std::optional<std::string> XSession::WaitForWindow(const WindowQuery& q, std::chrono::milliseconds timeout) const {
    std::optional<std::string> found;
    WaitUntil(
        [&] {
            auto w = FindWindows(q);
            if (!w.empty())
                found = w.front();
            return found.has_value();
        },
        timeout, 100ms);
    return found;
}

bool XSession::WaitForNoWindow(const WindowQuery& q, std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return FindWindows(q).empty(); }, timeout, 50ms);
}

Geometry XSession::WindowGeometry(const std::string& window) const {
    Geometry g;
    std::istringstream lines(Run("xdotool getwindowgeometry --shell " + window));
    for (std::string line; std::getline(lines, line);) {
        auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const int value = std::atoi(line.c_str() + eq + 1);
        if (key == "X")
            g.x = value;
        else if (key == "Y")
            g.y = value;
        else if (key == "WIDTH")
            g.width = value;
        else if (key == "HEIGHT")
            g.height = value;
    }
    return g;
}

std::string XSession::WindowName(const std::string& window) const {
    std::string name = Run("xdotool getwindowname " + window);
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

std::string XSession::WindowClass(const std::string& window) const {
    std::string out = Run("xprop -id " + window + " WM_CLASS");
    auto eq = out.find(" = ");
    out = eq == std::string::npos ? std::string() : out.substr(eq + 3);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

bool XSession::IsViewable(const std::string& window) const {
    return Run("xwininfo -id " + window).find("IsViewable") != std::string::npos;
}

void XSession::Activate(const std::string& window) const {
    RunStatus("xdotool windowactivate --sync " + window);
}
void XSession::Key(const std::string& keys) const {
    RunStatus("xdotool key --clearmodifiers " + keys);
}
void XSession::KeyTo(const std::string& window, const std::string& keys) const {
    Activate(window);
    Key(keys);
}
void XSession::MoveMouse(int x, int y) const {
    // Not --sync: it waits for a motion that never comes when the pointer is already there.
    RunStatus("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y));
}
void XSession::Click(int x, int y, int button) const {
    MoveMouse(x, y);
    RunStatus("xdotool click " + std::to_string(button));
}

Image XSession::Screenshot(const std::string& name) const {
    Image image;
    image.path = ArtifactDir() + name + ".png";
    RunStatus("import -window root " + Quote("png:" + image.path));
    const std::string ppm = ShellOutput("convert " + Quote(image.path) + " -depth 8 ppm:- 2>/dev/null");
    // P6\n<width> <height>\n<max>\n<bytes>
    std::istringstream header(ppm);
    std::string magic;
    int max = 0;
    header >> magic >> image.width >> image.height >> max;
    if (magic != "P6" || image.width <= 0 || image.height <= 0)
        return image;
    const auto offset = static_cast<std::size_t>(header.tellg()) + 1;
    const std::size_t bytes = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3;
    if (ppm.size() >= offset + bytes)
        image.rgb.assign(ppm.begin() + static_cast<std::ptrdiff_t>(offset),
                         ppm.begin() + static_cast<std::ptrdiff_t>(offset + bytes));
    else
        image.width = image.height = 0;
    return image;
}

// ---- ReportServer ----

ReportServer::ReportServer(const std::string& host) : server_(std::make_unique<httplib::Server>()), host_(host) {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        Request r{req.method, req.path, req.body, {}};
        for (const auto& [k, v] : req.headers) {
            std::string key = k;
            for (char& c : key)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            r.headers[key] = v;
        }
        res.set_header("Access-Control-Allow-Origin", "*");
        res.set_header("Cache-Control", "no-store");
        std::unique_lock lock(mutex_);
        requests_.push_back(r);
        static const std::string kReport = "/report/";
        if (req.path.rfind(kReport, 0) == 0) {
            Report report{httplib::detail::decode_url(req.path.substr(kReport.size()), false),
                          req.method == "POST" ? req.body : req.get_param_value("d")};
            reports_.push_back(std::move(report));
            res.status = 204;
        } else if (auto it = routes_.find(req.path); it != routes_.end()) {
            const Response route = it->second;
            if (route.delayMs > 0) {
                lock.unlock();
                changed_.notify_all();
                std::this_thread::sleep_for(std::chrono::milliseconds(route.delayMs));
                lock.lock();
            }
            res.status = route.status;
            for (const auto& [k, v] : route.headers)
                res.set_header(k, v);
            res.set_content(route.body, route.contentType);
        } else {
            res.status = 404;
            res.set_content("not found", "text/plain");
        }
        changed_.notify_all();
    };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Options(".*", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Access-Control-Allow-Origin", "*");
        res.set_header("Access-Control-Allow-Methods", "GET, POST");
        res.set_header("Access-Control-Allow-Headers", "*");
        res.status = 204;
    });
    port_ = server_->bind_to_any_port(host_);
    if (port_ <= 0)
        throw std::runtime_error("the report server cannot bind to " + host_);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    WaitUntil([&] { return server_->is_running(); }, 10s, 10ms);
}

ReportServer::~ReportServer() {
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

std::string ReportServer::BaseUrl() const {
    return "http://" + host_ + ":" + std::to_string(port_);
}

void ReportServer::Serve(const std::string& path, const Response& response) {
    std::lock_guard lock(mutex_);
    routes_[path] = response;
}

std::string ReportServer::ReporterScript() const {
    // One report at a time, in the order of the calls; a failed send is tried again a few times.
    return "(function(){var base='" + BaseUrl() +
           "/report/';var queue=[];var busy=false;"
           "function next(){if(busy||!queue.length)return;busy=true;var r=queue[0];"
           "fetch(base+encodeURIComponent(r.k),{method:'POST',mode:'no-cors',body:r.d,keepalive:true})"
           ".then(function(){queue.shift();busy=false;next();},"
           "function(){busy=false;if(++r.t>=20)queue.shift();setTimeout(next,100);});}"
           "window.twReport=function(kind,data){var d=(typeof data==='string')?data:"
           "JSON.stringify(data===undefined?null:data);queue.push({k:String(kind),d:d,t:0});next();};})();";
}

std::string ReportServer::PageWithReporter(const std::string& body, const std::string& head) const {
    return "<!doctype html><html><head><meta charset=\"utf-8\"><title>test page</title><script>" + ReporterScript() +
           "</script>" + head + "</head><body>" + body + "</body></html>";
}

std::vector<Report> ReportServer::Reports(const std::string& kind) const {
    std::lock_guard lock(mutex_);
    std::vector<Report> out;
    for (const auto& r : reports_)
        if (kind.empty() || r.kind == kind)
            out.push_back(r);
    return out;
}

std::vector<Request> ReportServer::Requests(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<Request> out;
    for (const auto& r : requests_)
        if (path.empty() || r.path == path)
            out.push_back(r);
    return out;
}

std::optional<Report> ReportServer::WaitFor(const std::string& kind, std::chrono::milliseconds timeout,
                                            std::size_t count) const {
    std::unique_lock lock(mutex_);
    std::optional<Report> found;
    changed_.wait_for(lock, timeout, [&] {
        std::size_t n = 0;
        for (const auto& r : reports_)
            if (r.kind == kind && ++n == count) {
                found = r;
                return true;
            }
        return false;
    });
    return found;
}

std::optional<Request> ReportServer::WaitForRequest(const std::string& path, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    std::optional<Request> found;
    changed_.wait_for(lock, timeout, [&] {
        for (const auto& r : requests_)
            if (r.path == path) {
                found = r;
                return true;
            }
        return false;
    });
    return found;
}

// ---- process trees ----

namespace {

int ParentOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    int ppid = -1;
    rest >> state >> ppid;
    return ppid;
}

std::vector<int> AllPids() {
    std::vector<int> pids;
    if (DIR* d = ::opendir("/proc")) {
        while (dirent* e = ::readdir(d)) {
            char* end = nullptr;
            long pid = std::strtol(e->d_name, &end, 10);
            if (pid > 0 && *end == '\0')
                pids.push_back(static_cast<int>(pid));
        }
        ::closedir(d);
    }
    return pids;
}

} // namespace

std::vector<int> ProcessTree(int pid) {
    std::vector<int> tree{pid};
    std::map<int, int> parent;
    for (int p : AllPids())
        parent[p] = ParentOf(p);
    for (std::size_t i = 0; i < tree.size(); ++i)
        for (const auto& [p, pp] : parent)
            if (pp == tree[i])
                tree.push_back(p);
    return tree;
}

TreeMemory ProcessTreeMemory(int pid) {
    TreeMemory m;
    for (int p : ProcessTree(pid)) {
        std::ifstream in("/proc/" + std::to_string(p) + "/smaps_rollup");
        if (!in)
            continue;
        ++m.processes;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("Rss:", 0) == 0)
                m.rssKiB += std::strtoull(line.c_str() + 4, nullptr, 10);
            else if (line.rfind("Pss:", 0) == 0)
                m.pssKiB += std::strtoull(line.c_str() + 4, nullptr, 10);
        }
    }
    return m;
}

// ---- LauncherFolder ----

bool NamespacesAvailable() {
    static const bool available =
        Shell("timeout 10 unshare --pid --fork --mount-proc --kill-child true >/dev/null 2>&1") == 0;
    return available;
}

LauncherFolder::LauncherFolder() : folder_("tarnwick-e2e") {
    const std::string built = BuildDir() + "/src/app/launcher";
    fs::copy_file(built, Executable(), fs::copy_options::overwrite_existing);
    fs::create_directories(SessionFolder());
    fs::permissions(SessionFolder(), fs::perms::owner_all, fs::perm_options::replace);
    fs::create_directories(Path() + ".home");
}

void LauncherFolder::WritePage(const std::string& html, const std::string& relative) const {
    WriteBytes(Path() + relative, html);
}

void LauncherFolder::CopyDemoPage() const {
    fs::copy(SourceDir() + "/ui/launcherui", Path() + "launcherui",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

std::unique_ptr<Process> LauncherFolder::Start(const XSession& x, std::vector<std::string> args) const {
    StartOptions o;
    o.args = std::move(args);
    return Start(x, o);
}

std::unique_ptr<Process> LauncherFolder::Start(const XSession& x, const StartOptions& options) const {
    Process::Options o;
    const std::string program = options.program.empty() ? Executable() : options.program;
    if (options.isolate && NamespacesAvailable()) {
        o.program = "unshare";
        o.args = {"--pid", "--fork", "--mount-proc", "--kill-child", program};
    } else {
        o.program = program;
    }
    o.args.insert(o.args.end(), options.args.begin(), options.args.end());
    o.workFolder = Path();
    // Nothing of the developer's own session leaks in; nothing reaches a service by accident
    // (port 9 on 127.0.0.1 answers nobody). --disable-gpu is the test display's choice.
    o.env = {{"DISPLAY", x.Display()},
             {"QT_QPA_PLATFORM", "xcb"},
             {"XDG_RUNTIME_DIR", SessionFolder()},
             {"HOME", Path() + ".home"},
             {"QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu"},
             {"TARNWICK_SERVICE_URL", "http://127.0.0.1:9/index.php"},
             {"TARNWICK_DOWNLOAD_HOST", "http://127.0.0.1:9"},
             {"WAYLAND_DISPLAY", ""},
             {"QTWEBENGINE_REMOTE_DEBUGGING", ""}};
    for (const auto& [k, v] : options.env)
        o.env[k] = v;
    static int starts = 0;
    static std::string test;
    if (test != CurrentTestName()) {
        test = CurrentTestName();
        starts = 0;
    }
    const std::string base = ArtifactDir() + test + "-launcher-" + std::to_string(++starts);
    o.stdoutPath = base + ".out";
    o.stderrPath = base + ".err";
    return std::make_unique<Process>(o);
}

std::optional<int> CloseWithAltF4(const XSession& x, Process& launcher, const std::string& window) {
    x.Activate(window);
    x.Key("alt+F4");
    EXPECT_TRUE(x.WaitForNoWindow(WindowQuery::Named("^Tarnwick$", "UIFrameEx"), 10s)) << "the window must hide at once";
    return launcher.Wait(30s);
}

int LauncherFolder::LauncherPid(const Process& started) {
    std::ifstream exe("/proc/" + std::to_string(started.Pid()) + "/comm");
    std::string comm;
    std::getline(exe, comm);
    if (comm != "unshare")
        return started.Pid();
    int child = -1;
    WaitUntil(
        [&] {
            std::ifstream in("/proc/" + std::to_string(started.Pid()) + "/task/" + std::to_string(started.Pid()) +
                             "/children");
            in >> child;
            return child > 0;
        },
        5s, 10ms);
    return child;
}

} // namespace tw::test::e2e
