#pragma once

#include <cstdio>
#include <map>
#include <string>

#include <QObject>
#include <QString>

namespace jolto {

class HostModel;

// Headless mode's output: what a window would show, as one line per change on a stream, in a
// form scripts can read:
//
//   listener starting
//   listener ready port=40123
//   listener failed error="Address already in use"
//   pin 0042
//   pairing paused until="14:05"
//   controller joined player=1 name="Pixel 8"
//   controller left player=1 name="Pixel 8"
//   problem: "Allow input access so button presses reach your games."
//
// Quoted values escape backslash, double quote and control characters (\\, \", \n, \xHH).
// A pause line is printed when wrong PINs pause pairing. A problem line is printed each time a
// problem text appears or changes (output warning, advertisement problem, audio rumble problem).
class HeadlessRunner : public QObject {
    Q_OBJECT

public:
    HeadlessRunner(HostModel& model, std::FILE* out, QObject* parent = nullptr);

    static std::string quoted(const std::string& text);

private:
    struct Player {
        int number = 0;
        std::string name;
    };

    void printLine(const std::string& line);
    void printListener();
    void printPIN();
    void printClients();
    void printProblem(const QString& text, QString& last);

    HostModel& model_;
    std::FILE* out_;
    std::string lastListener_;
    std::map<std::string, Player> players_;
    QString lastWarning_;
    QString lastAdvertisement_;
    QString lastAudio_;
};

} // namespace jolto
