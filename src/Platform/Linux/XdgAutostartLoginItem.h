#pragma once

#include "Platform/LoginItemService.h"

/**
 * A login item as an XDG autostart entry "<identifier>.desktop" whose Exec is the helper of the
 * installed bundle: LoginItems/<name>/<name> beside the running program, the one whose
 * Info.json carries the identifier.
 *
 * Statuses: notFound when that helper is missing or not executable; notRegistered when there is
 * no entry (or one that starts another program); requiresApproval when the user disabled the
 * entry (Hidden=true or X-GNOME-Autostart-enabled=false); enabled otherwise.
 */
class XdgAutostartLoginItem final : public LoginItemService {
public:
    /** autostartDir holds the entries; bundleDir is the folder holding LoginItems/. */
    XdgAutostartLoginItem(QString identifier, QString autostartDir, QString bundleDir);

    [[nodiscard]] int status() const override;
    [[nodiscard]] std::optional<QString> registerItem() override;

    [[nodiscard]] QString entryPath() const;
    /** The helper's executable, or nothing when no bundle in LoginItems/ has the identifier. */
    [[nodiscard]] std::optional<QString> helperExecutable() const;

    /** $XDG_CONFIG_HOME/autostart, by default ~/.config/autostart. */
    static QString defaultAutostartDir();
    /** The folder of the running program. */
    static QString runningBundleDir();

    /** The Exec value that starts the program with no arguments, quoted and escaped. */
    static QString execValue(const QString& program);
    /** The program an Exec value starts (its first argument), or nothing if it is malformed. */
    static std::optional<QString> programOfExec(const QString& exec);

private:
    QString m_identifier;
    QString m_autostartDir;
    QString m_bundleDir;
};
