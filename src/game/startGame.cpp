#include "game/startGame.h"

#include "base/ansitext.h"
#include "base/helpers.h"
#include "platform/fs.h"

namespace tw {

std::string RealmlistHost(const std::string& host) {
    auto drop = [](unsigned char c) { return c <= 0x20; };
    std::size_t begin = 0, end = host.size();
    while (begin < end && drop(static_cast<unsigned char>(host[begin])))
        ++begin;
    while (end > begin && drop(static_cast<unsigned char>(host[end - 1])))
        --end;
    std::string out;
    out.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
        auto c = static_cast<unsigned char>(host[i]);
        if (c == '"' || c < 0x20 || c == 0x7F)
            continue;
        out += static_cast<char>(c);
    }
    return out;
}

std::string RealmlistLine(const std::string& host) { return "SET realmlist \"" + host + "\""; }

StartGameResult StartGame(const std::string& programFolder, const std::string& wowHost) {
    const std::string wow = programFolder + "wow.exe";
    if (!platform::FileExists(wow))
        return StartGameResult::ClientMissing;

    const std::vector<std::string> lines{RealmlistLine(RealmlistHost(wowHost))};
    WriteAnsiLines(programFolder + "realmlist.wtf", lines);
    const std::string zhCN = programFolder + ToNativeSeparators("Data\\zhCN");
    if (platform::FolderExists(zhCN))
        WriteAnsiLines(zhCN + ToNativeSeparators("\\realmlist.wtf"), lines);

    return StartProgram(wow, kShowNormal) ? StartGameResult::Started : StartGameResult::StartFailed;
}

} // namespace tw
