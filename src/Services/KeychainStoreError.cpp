#include "Services/KeychainStoreError.h"

KeychainStoreError::KeychainStoreError(Kind kind, std::int32_t status)
    : m_kind(kind), m_status(status),
      m_description(kind == Kind::keychainFailure
                        ? "keychainFailure(status: " + std::to_string(status) + ")"
                        : "encodingFailed")
{
}

KeychainStoreError KeychainStoreError::keychainFailure(std::int32_t status)
{
    return {Kind::keychainFailure, status};
}

KeychainStoreError KeychainStoreError::encodingFailed()
{
    return {Kind::encodingFailed, 0};
}
