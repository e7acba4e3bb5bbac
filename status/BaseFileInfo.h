#pragma once

#include <cstdint>

#include "base/SyncStatus.h"

// Status word and file attributes of one path: what the status cache keeps per path.
// The status word is stored raw; readers see it through GetStatus.
class COrbethBaseFileInfo {
public:
    COrbethBaseFileInfo(int32_t status = StatusNone, uint32_t attributes = 0)
        : m_status(status),
          m_attributes(attributes)
    {
    }

    virtual void SetStatus(int32_t status) { m_status = status; }
    virtual uint32_t GetAttributes() const { return m_attributes; }
    virtual int32_t GetStatus() const { return m_status == StatusNone ? StatusNone : m_status & StatusStateMask; }
    // The word as stored, exclusion bit included.
    int32_t GetRawStatus() const { return m_status; }
    virtual bool IsExcluded() const { return m_status != StatusNone && (m_status & StatusExcludedFlag) != 0; }

protected:
    int32_t m_status;
    uint32_t m_attributes;
};
