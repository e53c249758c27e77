#include "app/HeadlessRunner.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/HostModel.h"

namespace jolto {

HeadlessRunner::HeadlessRunner(HostModel& model, std::FILE* out, QObject* parent)
    : QObject(parent), model_(model), out_(out) {
    connect(&model_, &HostModel::listenerStateChanged, this, &HeadlessRunner::printListener);
    connect(&model_, &HostModel::listenerPortChanged, this, &HeadlessRunner::printListener);
    connect(&model_, &HostModel::listenerErrorChanged, this, &HeadlessRunner::printListener);
    connect(&model_, &HostModel::pinChanged, this, &HeadlessRunner::printPIN);
    connect(&model_, &HostModel::pairingPauseChanged, this, [this] {
        if (model_.pairingPaused()) {
            printLine("pairing paused until=" + quoted(model_.pairingPausedUntil().toStdString()));
        }
    });
    connect(&model_, &HostModel::clientsChanged, this, &HeadlessRunner::printClients);
    connect(&model_, &HostModel::outputWarningChanged, this,
            [this] { printProblem(model_.outputWarning(), lastWarning_); });
    connect(&model_, &HostModel::advertisementProblemChanged, this,
            [this] { printProblem(model_.advertisementProblem(), lastAdvertisement_); });
    connect(&model_, &HostModel::audioRumbleProblemChanged, this,
            [this] { printProblem(model_.audioRumbleProblem(), lastAudio_); });
    connect(&model_, &HostModel::webPageAddressChanged, this, [this] {
        if (!model_.webPageAddress().isEmpty()) {
            printLine("web " + model_.webPageAddress().toStdString());
        }
    });

    // What the model already knows when the runner starts.
    printListener();
    printPIN();
    printClients();
    printProblem(model_.outputWarning(), lastWarning_);
    printProblem(model_.advertisementProblem(), lastAdvertisement_);
    printProblem(model_.audioRumbleProblem(), lastAudio_);
}

std::string HeadlessRunner::quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

void HeadlessRunner::printLine(const std::string& line) {
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    // Read line by line through a pipe: each line must leave at once.
    std::fflush(out_);
}

void HeadlessRunner::printListener() {
    std::string line = "listener " + model_.listenerState().toStdString();
    if (model_.listenerState() == QLatin1String("ready")) {
        line += " port=" + std::to_string(model_.listenerPort());
    } else if (model_.listenerState() == QLatin1String("failed")) {
        line += " error=" + quoted(model_.listenerError().toStdString());
    }
    // The three fields change one after another; the line is printed once per new state.
    if (line != lastListener_) {
        lastListener_ = line;
        printLine(line);
    }
}

void HeadlessRunner::printPIN() {
    if (model_.pin() != HostModel::unknownPIN) {
        printLine("pin " + model_.pin().toStdString());
    }
}

void HeadlessRunner::printClients() {
    std::map<std::string, Player> now;
    for (const auto& client : model_.clients()) {
        now[client.id.string()] = Player{client.playerNumber, client.name};
    }
    // Leavers first, so that a player number is free again before someone takes it.
    for (const auto& [id, player] : players_) {
        auto it = now.find(id);
        if (it == now.end() || it->second.number != player.number) {
            printLine("controller left player=" + std::to_string(player.number) +
                      " name=" + quoted(player.name));
        }
    }
    std::vector<std::pair<int, std::string>> joined;
    for (const auto& [id, player] : now) {
        auto it = players_.find(id);
        if (it == players_.end() || it->second.number != player.number) {
            joined.emplace_back(player.number, player.name);
        }
    }
    std::sort(joined.begin(), joined.end());
    for (const auto& [number, name] : joined) {
        printLine("controller joined player=" + std::to_string(number) + " name=" + quoted(name));
    }
    players_ = std::move(now);
}

void HeadlessRunner::printProblem(const QString& text, QString& last) {
    if (text == last) {
        return;
    }
    last = text;
    if (!text.isEmpty()) {
        printLine("problem: " + quoted(text.toStdString()));
    }
}

} // namespace jolto
