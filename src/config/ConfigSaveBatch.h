// ConfigSaveBatch: a scope in which the changes made to a ConfigFileSupport are
// saved once, at Commit or at the end of the scope, instead of after each one;
// used so that a submitted form is stored whole. Lives on the stack of the thread
// that applies the changes; the store (not owned, may be null) guards itself.
#pragma once

#include <string>

class ConfigFileSupport;

class ConfigSaveBatch {
public:
    explicit ConfigSaveBatch(ConfigFileSupport* store);
    ~ConfigSaveBatch();
    ConfigSaveBatch(const ConfigSaveBatch&) = delete;
    ConfigSaveBatch& operator=(const ConfigSaveBatch&) = delete;

    // Ends the batch and saves what changed. True when saved (or nothing was to
    // save); false with Failure() telling why, the changes kept in memory and
    // saved again with the next save. Later calls return the first result.
    bool Commit();
    const std::string& Failure() const { return m_failure; }

private:
    ConfigFileSupport* m_store;
    bool m_open;
    bool m_saved;
    std::string m_failure;
};
