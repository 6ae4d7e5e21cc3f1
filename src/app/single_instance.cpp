// Starting under the single-instance rule: taking the locks, asking the holder
// to come to the front, and answering later starts on this monitor's socket.
#include "app/single_instance.h"

#include <QLocalSocket>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace dupmon {

namespace fs = std::filesystem;

namespace {

fs::path socketOf(const fs::path& dir, long pid) {
    return dir / (std::to_string(pid) + ".sock");
}

// Sockets left by monitors that were killed: their pid is gone.
void removeStaleSockets(const fs::path& dir) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const fs::path& p = entry.path();
        if (p.extension() != ".sock")
            continue;
        const std::string stem = p.stem().string();
        char* end = nullptr;
        const long pid = std::strtol(stem.c_str(), &end, 10);
        if (pid > 0 && *end == '\0' && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            fs::remove(p, ec);
    }
}

} // namespace

bool askToComeToFront(const fs::path& dir, long pid) {
    const fs::path path = socketOf(dir, pid);
    // The holder may have taken its lock a moment ago and not listen yet.
    for (int attempt = 0; attempt < 20; ++attempt) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            // Only a socket of this user is trusted to be the holder.
            if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid())
                return false;
            QLocalSocket socket;
            socket.connectToServer(QString::fromStdString(path.string()));
            if (socket.waitForConnected(1000)) {
                socket.write("activate\n");
                socket.waitForBytesWritten(1000);
                while (!socket.canReadLine() && socket.waitForReadyRead(2000)) {
                }
                return socket.readLine().trimmed() == "front";
            }
        }
        if (::kill(pid_t(pid), 0) != 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

SingleInstance::Outcome SingleInstance::start(const std::vector<InstanceClaim>& claims,
                                              const std::string& description, bool desktop,
                                              std::string& message) {
    const fs::path dir = privateRuntimeDir(message);
    if (dir.empty())
        return Outcome::Failed;
    InstanceLock::Holder holder;
    switch (lock_.acquire(dir, claims, description, holder, message)) {
    case InstanceLock::Result::Failed:
        return Outcome::Failed;
    case InstanceLock::Result::Held:
        serve(dir, message);
        return Outcome::Running;
    case InstanceLock::Result::Taken:
        break;
    }
    const std::string who = "pid " + std::to_string(holder.pid) +
                            (holder.description.empty() ? "" : ": " + holder.description);
    if (desktop && holder.pid > 0 && askToComeToFront(dir, holder.pid)) {
        message = "already running (" + who + "); brought it to the front";
        return Outcome::HandedOver;
    }
    message = holder.what + " is in use by another duplicator-monitor (" + who + "); not started";
    return Outcome::Refused;
}

void SingleInstance::serve(const fs::path& dir, std::string& message) {
    removeStaleSockets(dir);
    const QString path = QString::fromStdString(socketOf(dir, ::getpid()).string());
    QLocalServer::removeServer(path);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path)) {
        message = "later starts cannot reach this program: " + path.toStdString() + ": " +
                  server_->errorString().toStdString();
        return;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* s = server_->nextPendingConnection()) {
            QObject::connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            QObject::connect(s, &QLocalSocket::readyRead, s, [this, s] {
                while (s->canReadLine()) {
                    if (s->readLine().trimmed() != "activate")
                        continue;
                    if (activate_) {
                        activate_();
                        s->write("front\n");
                    } else {
                        s->write("headless\n");
                    }
                    s->flush();
                }
            });
        }
    });
}

} // namespace dupmon
