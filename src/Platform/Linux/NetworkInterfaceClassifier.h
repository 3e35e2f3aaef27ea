#pragma once

#include <QString>

/** Tells from sysfs what kind of link a network interface is. */
class NetworkInterfaceClassifier {
public:
    enum class Kind { wifi, cellular, wiredEthernet, other };

    /** sysfsRoot is the folder that holds one entry per interface. */
    explicit NetworkInterfaceClassifier(QString sysfsRoot = QStringLiteral("/sys/class/net"));

    /** An interface that is missing, unreadable or not a plain name is `other`. */
    [[nodiscard]] Kind classify(const QString& interfaceName) const;

private:
    QString m_root;
};
