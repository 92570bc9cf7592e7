// Harness: kvoomxsvr.conf. Arbitrary bytes as the file, every known setting
// read, settings written from the input (some not writable as XML 1.0), then
// the saved file must be read by libxml2 and by our own reader to the same
// document and the same values; a refused value changes nothing.
#include <map>
#include <string>
#include <vector>

#include "config/ConfigFileSupport.h"
#include "config/XmlText.h"
#include "fuzz/SettingsFuzzSupport.h"

using namespace kvofuzz;

namespace {

const char* const kPaths[] = {"root", "root/controller0", "root/controller1", "root/snmp/trap",
                              "root/snmp/trap/trap1", "root/x y(z)", "root/controller3"};
const char* const kKeys[] = {"configport", "httpport", "cliport", "levelflag", "ip", "port", "bindaddress",
                             "adminpassword"};

std::map<std::string, std::string> ReadAll(ConfigFileSupport& config) {
    std::map<std::string, std::string> values;
    for (const char* path : kPaths) {
        for (const char* key : kKeys) {
            std::vector<char> buffer(512, '\0');
            if (config.GetConfigValue(path, key, buffer.data(), static_cast<int>(buffer.size())))
                values[std::string(path) + "/" + key] = buffer.data();
        }
    }
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QuietLog quiet;
    FuzzInput input(data, size);
    int changes = input.Byte() % 4;
    std::vector<std::pair<std::string, std::string>> sets;  // path/key, value
    std::vector<std::pair<int, int>> where;
    for (int i = 0; i < changes; i++) {
        where.emplace_back(input.Byte() % 7, input.Byte() % 8);
        sets.emplace_back(std::string(), input.Text(200));
    }
    std::string file = ScratchDir() + "/kvoomxsvr.conf";
    WriteFile(file, input.Rest());
    {
        ConfigFileSupport config;
        config.SetLogImp(&quiet);
        config.Initialize(file.c_str());
        config.LoadFile();
        std::map<std::string, std::string> before = ReadAll(config);
        for (const auto& [path, value] : before) Expect(XmlText::IsValid(value), "a loaded value is not writable");

        config.BeginDeferredSave();
        bool anyTaken = false;
        std::map<std::string, std::string> expected = before;
        for (size_t i = 0; i < sets.size(); i++) {
            const char* path = kPaths[where[i].first];
            const char* key = kKeys[where[i].second];
            const std::string& value = sets[i].second;
            bool taken = config.SetConfigValue(path, key, value.c_str()) == 1;
            std::string id = std::string(path) + "/" + key;
            if (taken) expected[id] = XmlText::AsRead(value.c_str());
            anyTaken = anyTaken || taken;
        }
        config.EndDeferredSave();
        std::map<std::string, std::string> now = ReadAll(config);
        for (const auto& [id, value] : expected)
            Expect(now.count(id) && now[id] == value, "a stored value reads differently in memory");

        ConfigFileSupport reloaded;
        reloaded.SetLogImp(&quiet);
        reloaded.Initialize(file.c_str());
        if (anyTaken) {
            Expect(reloaded.LoadFile() == 1, "the saved file does not load");
            if (ReadAll(reloaded) != now) {
                for (const auto& [id, value] : now) std::fprintf(stderr, "%s = [%s]\n", id.c_str(), value.c_str());
                std::fprintf(stderr, "file:\n%s\n", ReadFile(file).c_str());
                Broken("the saved file reads back to other values");
            }
            CheckWrittenFile(file);
        }
    }
    EmptyScratch();
    return 0;
}
