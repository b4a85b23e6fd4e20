#include "shell/shellCore.h"

#include "addon/addonSpy.h"
#include "game/maintenance.h"
#include "game/startGame.h"
#include "platform/fs.h"

namespace tw {

std::string TPageNotices::Send(Kind kind, const std::string& script) {
    sent_[kind] = true;
    takenBy_[kind] = 0;
    return "(function () { " + script + "; return performance.timeOrigin; })()";
}

void TPageNotices::Taken(Kind kind, std::optional<double> document) {
    takenBy_[kind] = document.value_or(0);
}

std::vector<TPageNotices::Kind> TPageNotices::Missed(double document) const {
    std::vector<Kind> missed;
    for (Kind k : {Status, StartGame})
        if (sent_[k] && takenBy_[k] != document)
            missed.push_back(k);
    return missed;
}

TCloseHandshake::Answer TCloseHandshake::Query(bool browserExists) {
    Answer a;
    if (!closing_) {
        closing_ = true;
        if (browserExists)
            a.closeBrowser = true;
        else
            canClose_ = true; // nothing will report its end
    }
    a.close = canClose_;
    return a;
}

std::optional<std::string> RunPageCommand(IMainForm& form, const std::string& programFolder,
                                          const DispatchResult& command) {
    const std::string down = programFolder + "down" + platform::kPathSeparator;
    switch (command.post) {
    case MSG_DOWN_ADDON:
        DownAddon(form, down + "temp" + platform::kPathSeparator, down, command.addon.url, command.addon.name,
                  command.addon.md5, command.addon.id, command.addon.type);
        break;
    case MSG_START_GAME:
        if (StartGame(programFolder, form.WowHost()) == StartGameResult::ClientMissing)
            return std::string(kNoClientText);
        break;
    case MSG_CLEAR_CACHE:
        ClearCache(programFolder);
        break;
    case MSG_CLEAR_USER_CACHE:
        ClearUserCache(programFolder);
        break;
    case MSG_CLEAR_FONTS:
        ClearFonts(programFolder);
        break;
    case MSG_OPEN_URL:
        OpenWebAddress(command.openUrl);
        break;
    default:
        break;
    }
    return std::nullopt;
}

} // namespace tw
