#include "app/DesktopSettings.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

#include "platform/Log.h"

namespace jolto {

namespace {

struct Command {
    QString program;
    QStringList arguments;
};

// The sound settings of the running desktop first, then a mixer that works everywhere.
QList<Command> soundSettingsCommands() {
    const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP").toUpper();
    QList<Command> commands;
    if (desktop.contains(QLatin1String("KDE"))) {
        commands.append({QStringLiteral("systemsettings"), {QStringLiteral("kcm_pulseaudio")}});
    }
    if (desktop.contains(QLatin1String("GNOME")) || desktop.contains(QLatin1String("UNITY")) ||
        desktop.contains(QLatin1String("BUDGIE"))) {
        commands.append({QStringLiteral("gnome-control-center"), {QStringLiteral("sound")}});
    }
    commands.append({QStringLiteral("pavucontrol"), {}});
    return commands;
}

// The help page, copied out of the program's resources where a browser can read it: the
// session's runtime folder, private to the user.
QString helpFile() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        folder = QDir::tempPath();
    }
    const QString path = folder + QStringLiteral("/jolto-host-help.html");
    QFile::remove(path);
    if (!QFile::copy(QStringLiteral(":/jolto/app/resources/help.html"), path)) {
        return {};
    }
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    return path;
}

bool openHelp(const QString& section) {
    const QString file = helpFile();
    if (file.isEmpty()) {
        Logger("Model").error("Couldn't write the help page");
        return false;
    }
    QUrl url = QUrl::fromLocalFile(file);
    url.setFragment(section);
    return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString()});
}

} // namespace

bool openDesktopSettings(const std::string& anchor) {
    if (anchor == "Privacy_Accessibility") {
        return openHelp(QStringLiteral("input-access"));
    }
    if (anchor == "Privacy_ScreenCapture") {
        for (const Command& command : soundSettingsCommands()) {
            if (!QStandardPaths::findExecutable(command.program).isEmpty() &&
                QProcess::startDetached(command.program, command.arguments)) {
                return true;
            }
        }
        return openHelp(QStringLiteral("audio-rumble"));
    }
    return false;
}

} // namespace jolto
