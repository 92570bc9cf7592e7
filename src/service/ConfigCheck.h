// ConfigCheck: what `kvoomxsvr --check-config` does: reads both settings files
// and looks for the web root and the error pages where the service would, and
// reports every problem it finds, one line each. Starts nothing, writes nothing.
// A short-lived object of the initial thread; no locks.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

class TiXmlDocument;
class TiXmlElement;

class ConfigCheck {
public:
    // Checks everything and prints the findings to `out`; true when nothing is wrong.
    bool Run(FILE* out);

private:
    void CheckSettingsFile(const std::string& path);
    void CheckWebhooks(const std::string& path, const TiXmlElement* webhooks);
    void CheckEmailFile(const std::string& path);
    void CheckStaticFiles();
    // The file's <root>, or nullptr (reported) when the file is unreadable or
    // no settings document; a missing file is fine (defaults apply): nullptr, no problem.
    const TiXmlElement* LoadRoot(const std::string& path, TiXmlDocument& doc);
    void CheckHexPort(const std::string& path, const TiXmlElement* parent, const char* key,
                      const std::string& where);
    void Problem(const std::string& text) { m_problems.push_back(text); }

    std::vector<std::string> m_problems;
    FILE* m_out = stdout;
};
