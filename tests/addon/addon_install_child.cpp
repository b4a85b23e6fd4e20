// One real add-on install in a process of its own, for the kill test: the add-on worker runs as in
// the launcher, and every notice is added to NOTICES as a line as soon as it is sent.
//
//   addon_install_child PROGRAM_FOLDER DOWN_TEMP URL NAME MD5 TYPE NOTICES
#include "addon/addonSpy.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace {

class FileForm : public tw::IMainForm {
public:
    explicit FileForm(FILE* out) : out_(out) {}
    void Synchronize(const std::function<void()>& fn) override {
        std::lock_guard lock(mainThread_);
        fn();
    }
    void PostMessage(int) override {}
    void lbl_Msg() override {}
    void lbl_Start_Game() override {}
    void lbl_Down_Addon() override { Line(h_LblAddonMsg); }
    void lbl_Addon_End() override { Line("end"); }
    void LoadURL(const std::string&) override {}

private:
    void Line(const std::string& text) {
        std::fputs((text + "\n").c_str(), out_);
        std::fflush(out_);
    }
    FILE* out_;
    std::mutex mainThread_;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 8)
        return 2;
    const std::string program = argv[1];
    // Binary: the file is read as bytes, and the names in it are UTF-8 as sent.
    FILE* out = std::fopen(argv[7], "ab");
    if (!out)
        return 2;
    FileForm form(out);
    tw::TaddonSpy worker(form, argv[2], program + "down/", argv[3], argv[4], argv[5], 1, std::stoi(argv[6]), program);
    worker.Execute();
    return 0;
}
