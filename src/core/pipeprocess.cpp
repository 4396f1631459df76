#include "pipeprocess.h"

#include "processrunner.h"
#include "stationtimings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {
// Every running child, so that the station's end reaches them from any thread. A child is
// signalled and reaped only under the lock, so a pid is never signalled after its reuse.
std::mutex registryLock;
std::set<PipeProcess*> registry;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QList<QByteArray> environmentFor(const QStringList& additions)
{
    QList<QByteArray> entries;
    QList<QByteArray> names;
    for (const QString& entry : additions) {
        entries << entry.toLocal8Bit();
        names << entry.section(QLatin1Char('='), 0, 0).toLocal8Bit() + '=';
    }
    for (char** variable = environ; variable && *variable; ++variable) {
        const QByteArray entry(*variable);
        const bool replaced = std::any_of(
            names.begin(), names.end(), [&entry](const QByteArray& name) { return entry.startsWith(name); });
        if (!replaced)
            entries << entry;
    }
    return entries;
}

std::vector<char*> pointers(QList<QByteArray>& list)
{
    std::vector<char*> result;
    for (QByteArray& item : list)
        result.push_back(item.data());
    result.push_back(nullptr);
    return result;
}
} // namespace

PipeProcess::~PipeProcess()
{
    if (pid > 0) {
        qWarning().noquote() << "Stopping" << request.program << "because its owner goes away";
        stop();
    }
    closeAll();
}

bool PipeProcess::start(const ProcessRequest& newRequest)
{
    request = newRequest;
    outcome = ProcessResult();
    if (ProcessRunner::stoppingAll() || (request.cancel && request.cancel->load())) {
        outcome.errorString = QStringLiteral("not started: the run was cancelled");
        return false;
    }
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]), ::close(in[1]);
        return false;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    const QByteArray folder = QFile::encodeName(request.workingDirectory);
    if (!folder.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, folder.constData());
    // The feeding thread blocks SIGPIPE; the child must get the defaults back.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    QList<QByteArray> argumentList{QFile::encodeName(request.program)};
    for (const QString& argument : request.arguments)
        argumentList << argument.toLocal8Bit();
    QList<QByteArray> environmentList = environmentFor(request.environment);
    std::vector<char*> argv = pointers(argumentList);
    std::vector<char*> envp = pointers(environmentList);

    pid_t child = -1;
    int spawned;
    {
        std::lock_guard<std::mutex> lock(registryLock);
        spawned = ::posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), envp.data());
        if (spawned == 0) {
            pid = child;
            registry.insert(this);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]), ::close(out[1]), ::close(err[1]);
    if (spawned != 0) {
        ::close(in[1]), ::close(out[0]), ::close(err[0]);
        outcome.errorString = QString::fromLocal8Bit(::strerror(spawned));
        qWarning().noquote() << "Child" << request.program << outcome.outcome();
        return false;
    }
    input = in[1];
    output = out[0];
    error = err[0];
    for (int fd : {input, output, error})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(input, F_SETPIPE_SZ, 1 << 20); // fewer wake-ups; the size is only a wish
    outcome.started = true;
    deadlineMs = request.timeoutMs > 0 ? nowMs() + request.timeoutMs : -1;
    return true;
}

void PipeProcess::closeInput()
{
    if (input >= 0)
        ::close(input);
    input = -1;
}

bool PipeProcess::readFrom(int* fd, QByteArray* bytes)
{
    if (*fd < 0)
        return false;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(*fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes->append(buffer, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        ::close(*fd);
        *fd = -1;
        return false;
    }
}

void PipeProcess::reap(int status)
{
    registry.erase(this);
    pid = -1;
    if (WIFEXITED(status)) {
        outcome.exitStatus = QProcess::NormalExit;
        outcome.exitCode = WEXITSTATUS(status);
    } else {
        outcome.exitStatus = QProcess::CrashExit;
        outcome.exitCode = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }
}

bool PipeProcess::checkFinished()
{
    if (pid <= 0)
        return true;
    const bool cancelled = ProcessRunner::stoppingAll() || (request.cancel && request.cancel->load());
    if (cancelled || (deadlineMs >= 0 && nowMs() > deadlineMs)) {
        (cancelled ? outcome.cancelled : outcome.timedOut) = true;
        qWarning().noquote() << "Child" << request.program << outcome.outcome();
        stop();
        return true;
    }
    std::lock_guard<std::mutex> lock(registryLock);
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
        reap(status);
    return pid <= 0;
}

void PipeProcess::stop()
{
    closeInput();
    {
        std::lock_guard<std::mutex> lock(registryLock);
        if (pid <= 0)
            return;
        ::kill(-pid, SIGTERM);
    }
    const qint64 killAt = nowMs() + StationTimings::current().processStopGraceMs;
    while (true) {
        std::lock_guard<std::mutex> lock(registryLock);
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            reap(status);
            return;
        }
        if (nowMs() >= killAt) {
            ::kill(-pid, SIGKILL);
            if (::waitpid(pid, &status, 0) == pid)
                reap(status);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void PipeProcess::closeAll()
{
    closeInput();
    for (int* fd : {&output, &error}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void PipeProcess::stopAllRunning()
{
    // Their owners reap them; the station's end must not wait on a busy owner.
    {
        std::lock_guard<std::mutex> lock(registryLock);
        for (PipeProcess* process : registry) {
            qWarning().noquote() << "Stopping" << process->request.program << "because the station quits";
            ::kill(-process->pid, SIGTERM);
        }
    }
    const qint64 killAt = nowMs() + StationTimings::current().processStopGraceMs;
    while (nowMs() < killAt) {
        {
            std::lock_guard<std::mutex> lock(registryLock);
            if (registry.empty())
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> lock(registryLock);
    for (PipeProcess* process : registry)
        ::kill(-process->pid, SIGKILL);
}
