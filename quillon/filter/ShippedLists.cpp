#include "filter/ShippedLists.h"

#include "kinbook/foundation/Paths.h"

const char* const kShippedListNames[7] = {"badwords", "words",   "keywords", "domains",
                                          "oklinks",  "cocodes", "Brevant"};
const char* const kMakerDomains[5] = {"@brevant.com", "@brevant.net", "@brevant.org",
                                      "@quillon.com", "@kinbook.com"};
const char* const kCountryCodes[3] = {".cn", ".kr", ".tw"};

namespace {

bool Exists(const std::string& path) {
    std::string ignored;
    return ReadWholeFile(path, ignored);
}

void Put(const std::string& path, const std::string& contents, std::vector<std::string>& notes) {
    size_t slash = path.find_last_of('/');
    int error = MakeFolders(path.substr(0, slash)) ? WriteFileAtomically(path, contents) : -1;
    if (error != 0)
        notes.push_back("cannot write the word list \"" + path + "\"" +
                        (error > 0 ? " (error " + std::to_string(error) + ")" : ""));
}

}  // namespace

std::string GetShippedListsFolder() {
    const std::string program = GetProgramFolder();
    return program.empty() ? std::string() : program + "/../share/quillon/defaults";
}

void InstallShippedLists(const std::string& shippedFolder, const std::string& dataFolder,
                         std::vector<std::string>& notes) {
    if (shippedFolder.empty() || dataFolder.empty())
        return;
    for (const char* name : kShippedListNames) {
        const std::string file = std::string("/") + name + ".re";
        std::string shipped;
        if (!ReadWholeFile(shippedFolder + file, shipped)) {
            notes.push_back("the shipped word list \"" + shippedFolder + file + "\" is missing");
            continue;
        }
        std::string defaults;
        if (!ReadWholeFile(dataFolder + "/defaults" + file, defaults)) {
            Put(dataFolder + "/defaults" + file, shipped, notes);
            if (!Exists(dataFolder + file))
                Put(dataFolder + file, shipped, notes);
            continue;
        }
        std::string waiting;
        if (defaults != shipped &&
            (!ReadWholeFile(dataFolder + "/updates" + file, waiting) || waiting != shipped))
            Put(dataFolder + "/updates" + file, shipped, notes);
    }
}
