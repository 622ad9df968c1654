#include "tool/class_order.h"

#include <map>
#include <memory>

#include "archive/entry_names.h"
#include "archive/zip_reader.h"
#include "common/zip_format.h"
#include "tool/packer.h"

namespace hux::tool {

namespace {

struct Copy {
    size_t jar;  // position in class-path order
    uint32_t crc;
    uint64_t size;
};

bool isPlainClass(const std::string& name) {
    const std::string suffix = ".class";
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
           name.rfind("META-INF/", 0) != 0 && name != "module-info.class";
}

}  // namespace

void warnOnReorderedClasses(const std::vector<std::pair<std::string, std::string>>& files,
                            std::vector<std::string>& warnings) {
    std::vector<std::string> stored;  // the jars' names as the archive stores them
    std::map<std::string, std::vector<Copy>> copies;
    for (size_t i = 0; i < files.size(); ++i) {
        std::string jarName, why;
        if (!zip::isArchiveName(files[i].first) || !normaliseEntryName(files[i].first, jarName, why)) continue;
        auto source = std::make_unique<FileSource>();
        if (!source->open(files[i].second.c_str())) continue;
        ZipReader reader;
        if (!reader.open(std::move(source))) continue;
        const size_t jar = stored.size();
        stored.push_back(jarName);
        for (int32_t e = 0; e < reader.entryCount(); ++e) {
            const ZipEntry& entry = reader.entry(e);
            std::string name(entry.name, static_cast<size_t>(entry.nameLength));
            if (isPlainClass(name)) copies[name].push_back({jar, entry.crc, entry.size});
        }
    }
    // Per (first listed, served) pair of jars: how many classes, and the first.
    std::map<std::pair<size_t, size_t>, std::pair<size_t, std::string>> reordered;
    for (const auto& [name, list] : copies) {
        if (list.size() < 2) continue;
        // Copies are listed in class-path order, so the first is what java -cp loads.
        const Copy* first = &list.front();
        const Copy* served = first;
        for (const Copy& c : list)
            if (compareEntryNames(stored[c.jar], stored[served->jar]) < 0) served = &c;
        if (first == served || (first->crc == served->crc && first->size == served->size)) continue;
        auto& [count, example] = reordered[{first->jar, served->jar}];
        if (count++ == 0) example = name;
    }
    for (const auto& [jarsPair, found] : reordered) {
        const std::string& listed = stored[jarsPair.first];
        const std::string& chosen = stored[jarsPair.second];
        warnings.push_back("'" + listed + "' and '" + chosen + "' hold " + std::to_string(found.first) +
                           " differing classes (first: '" + found.second +
                           "'): java -cp with the jars in the given "
                           "order loads those of '" +
                           listed + "', the launcher those of '" + chosen +
                           "' (it searches jars by stored name, shorter first); store the jar that must win under a "
                           "name that sorts first, or pack with --flatten");
    }
}

}  // namespace hux::tool
