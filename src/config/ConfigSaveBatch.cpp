#include "config/ConfigSaveBatch.h"

#include "config/ConfigFileSupport.h"

ConfigSaveBatch::ConfigSaveBatch(ConfigFileSupport* store)
    : m_store(store), m_open(store != nullptr), m_saved(true) {
    if (m_store) m_store->BeginDeferredSave();
}

ConfigSaveBatch::~ConfigSaveBatch() { Commit(); }

bool ConfigSaveBatch::Commit() {
    if (!m_open) return m_saved;
    m_open = false;
    m_saved = m_store->EndDeferredSave() == 1;
    if (!m_saved && !m_store->LastSaveFailed(&m_failure)) m_failure = "unknown error";
    return m_saved;
}
