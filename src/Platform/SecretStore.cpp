#include "Platform/SecretStore.h"

bool SecretStore::isItemAddress(const Attributes& attributes)
{
    return attributes.size() == 2 && attributes.contains(QStringLiteral("service")) &&
           attributes.contains(QStringLiteral("account"));
}
