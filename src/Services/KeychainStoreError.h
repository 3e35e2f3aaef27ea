#pragma once

#include <cstdint>
#include <exception>
#include <string>

/** Why a keychain save failed. No message of its own: callers choose what a user sees. */
class KeychainStoreError : public std::exception {
public:
    enum class Kind { keychainFailure, encodingFailed };

    /** Adding the item answered a status other than success. */
    static KeychainStoreError keychainFailure(std::int32_t status);
    /** The text has no exact UTF-8 form (it holds an unpaired surrogate). */
    static KeychainStoreError encodingFailed();

    [[nodiscard]] Kind kind() const { return m_kind; }
    /** The store's status for keychainFailure, else 0. */
    [[nodiscard]] std::int32_t status() const { return m_status; }

    /** For diagnosis: the case and its status. */
    [[nodiscard]] const char* what() const noexcept override { return m_description.c_str(); }

    bool operator==(const KeychainStoreError& other) const
    {
        return m_kind == other.m_kind && m_status == other.m_status;
    }

private:
    KeychainStoreError(Kind kind, std::int32_t status);

    Kind m_kind;
    std::int32_t m_status;
    std::string m_description;
};
