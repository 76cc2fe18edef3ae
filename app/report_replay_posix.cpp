// The replay behind --report on a recording or a script: the program runs
// itself with -t on the simulated line, on the virtual clock, from a fixed
// time of day, and its stamped output is read back. So the summary counts
// exactly what the monitoring loop printed, by the loop's own rules. The
// script is read here only for what the reports cannot tell: where it ends,
// its line errors, and the recording's first line.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/report.h"
#include "common/output.h"
#include "platform/posix/sim_script.h"

extern char** environ;

// The time of day at which the virtual clock starts, with TZ=UTC.
static const char kVirtualStart[] = "2000-01-01 00:00:00.000";

// Checks the script as the simulated line will read it, and takes its line
// errors and its end: the `end` line, or a second beyond its last line.
static int ReadScriptLines(const char* path, const char* text, size_t length, BOOL* ended) {
    std::vector<posixlayer::SimAction> actions;
    std::string wrong;
    if (!posixlayer::ParseSimScript(std::string(text, length), &actions, &wrong)) {
        PrintError("cabletest: %s: %s\n", path, wrong.c_str());
        return EXIT_BAD_REPORT;
    }
    long long lastMs = 0;
    *ended = FALSE;
    for (const posixlayer::SimAction& action : actions) {
        long long atMs = (long long)action.atMs;
        if (action.kind == posixlayer::SimActionKind::Repeat) {
            PrintError(
                "cabletest: %s: line %d: repeat: a script that plays for ever has no summary; "
                "end it with end\n",
                path, action.line);
            return EXIT_BAD_REPORT;
        }
        if (action.kind == posixlayer::SimActionKind::Bytes) {
            atMs += (long long)(action.count - 1) * action.gapMs;
        }
        if (action.kind == posixlayer::SimActionKind::Error) {
            ReportAppend(&g_lineErrors, atMs, atMs, (int)action.error);
        }
        *ended = action.kind == posixlayer::SimActionKind::End;
        lastMs = atMs > lastMs ? atMs : lastMs;
    }
    g_reportSource.endMs = *ended ? lastMs : lastMs + 1000;
    g_reportSource.errorsKnown = TRUE;
    return 0;
}

// A file of our own in the temporary folder, already unlinked when `keep`
// is FALSE; -1 when none can be made. *name gets its path.
static int TemporaryFile(char* name, size_t size, BOOL keep) {
    const char* folder = getenv("TMPDIR");
    snprintf(name, size, "%s/cabletest-replay.XXXXXX", folder != NULL && *folder ? folder : "/tmp");
    int fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0 && !keep) {
        unlink(name);
    }
    return fd;
}

// The script as given, with the end the replay needs when it has none.
static BOOL WriteReplayScript(int fd, const char* text, size_t length, BOOL ended) {
    char end[48] = "";
    if (!ended) {
        snprintf(end, sizeof end, "\n%lld end\n", g_reportSource.endMs);
    }
    size_t endLength = strlen(end);
    for (size_t done = 0; done < length + endLength;) {
        const char* from = done < length ? text + done : end + (done - length);
        size_t part = done < length ? length - done : endLength - (done - length);
        ssize_t n = write(fd, from, part);
        if (n < 0 && errno != EINTR) {
            return FALSE;
        }
        done += n > 0 ? (size_t)n : 0;
    }
    return TRUE;
}

// The environment of the replay: the caller's, without its own settings of
// the program and the time zone.
static char** ReplayEnvironment(const char* scriptPath, char* scriptSetting, size_t size) {
    size_t count = 0;
    while (environ[count] != NULL) {
        ++count;
    }
    char** env = (char**)calloc(count + 4, sizeof *env);
    if (env == NULL) {
        return NULL;
    }
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        if (strncmp(environ[i], "CABLETEST_", 10) != 0 && strncmp(environ[i], "TZ=", 3) != 0) {
            env[kept++] = environ[i];
        }
    }
    snprintf(scriptSetting, size, "CABLETEST_SIM_SCRIPT=%s", scriptPath);
    env[kept++] = (char*)"CABLETEST_CLOCK=virtual";
    env[kept++] = (char*)"TZ=UTC";
    env[kept++] = scriptSetting;
    return env;
}

// Standard output of the replay until it closes, into a NUL-terminated text.
static char* ReadAll(int fd) {
    size_t size = 0, capacity = 1 << 16;
    char* text = (char*)malloc(capacity);
    while (text != NULL) {
        if (size + 4096 + 1 > capacity) {
            char* more = (char*)realloc(text, capacity *= 2);
            if (more == NULL) {
                free(text);
                return NULL;
            }
            text = more;
        }
        ssize_t n = read(fd, text + size, capacity - size - 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            text[size] = '\0';
            break;
        }
        size += (size_t)n;
    }
    return text;
}

// Runs "cabletest -t sim" on the script; its output, and its exit status in
// *status, or NULL when it could not be run.
static char* RunReplay(const char* scriptPath, int errorFd, int* status) {
    char setting[4200];
    char** env = ReplayEnvironment(scriptPath, setting, sizeof setting);
    int out[2] = {-1, -1};
    if (env == NULL || pipe2(out, O_CLOEXEC) != 0) {
        int error = env == NULL ? ENOMEM : errno;
        free(env);
        errno = error;
        return NULL;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errorFd, 2);
    char* argv[] = {(char*)"cabletest", (char*)"-t", (char*)"sim", NULL};
    pid_t child = -1;
    int spawned = posix_spawn(&child, "/proc/self/exe", &actions, NULL, argv, env);
    posix_spawn_file_actions_destroy(&actions);
    free(env);
    close(out[1]);
    char* text = spawned == 0 ? ReadAll(out[0]) : NULL;
    close(out[0]);
    while (spawned == 0 && waitpid(child, status, 0) < 0 && errno == EINTR) {
    }
    errno = spawned != 0 ? spawned : text == NULL ? ENOMEM : 0;
    return text;
}

// What the replay said on standard error, with our temporary script's name
// given as the FILE's, then why the report stops.
static void PassOnReplayErrors(const char* path, const char* scriptPath, int errorFd) {
    char text[4096];
    ssize_t n = pread(errorFd, text, sizeof text - 1, 0);
    text[n > 0 ? n : 0] = '\0';
    size_t nameLength = strlen(scriptPath);
    for (const char* at = text; *at != '\0';) {
        const char* name = strstr(at, scriptPath);
        size_t plain = name != NULL ? (size_t)(name - at) : strlen(at);
        PrintError("%.*s%s", (int)plain, at, name != NULL ? path : "");
        at += plain + (name != NULL ? nameLength : 0);
    }
    PrintError("cabletest: the replay of %s on the simulated line did not run to its end\n", path);
}

int ReplayScript(const char* path, char* text, size_t length) {
    BOOL ended = FALSE;
    int result = ReadScriptLines(path, text, length, &ended);
    if (result != 0) {
        return result;
    }
    ReadRecordingHeader(text);
    char scriptPath[4096], errorPath[4096];
    int scriptFd = TemporaryFile(scriptPath, sizeof scriptPath, TRUE);
    int errorFd = TemporaryFile(errorPath, sizeof errorPath, FALSE);
    BOOL written =
        scriptFd >= 0 && errorFd >= 0 && WriteReplayScript(scriptFd, text, length, ended);
    int error = written ? 0 : errno;
    int status = -1;
    char* output = written ? RunReplay(scriptPath, errorFd, &status) : NULL;
    error = written ? errno : error;
    if (output == NULL || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (output == NULL) {
            PrintError("cabletest: cannot replay %s: %s\n", path, strerror(error));
        } else {
            PassOnReplayErrors(path, scriptPath, errorFd);
        }
        result = EXIT_BAD_REPORT;
    } else {
        long long originMs = 0;
        ReadStamp(kVirtualStart, &originMs);
        ReadStampedOutput(output, originMs);
    }
    free(output);
    if (scriptFd >= 0) {
        close(scriptFd);
        unlink(scriptPath);
    }
    if (errorFd >= 0) {
        close(errorFd);
    }
    return result;
}
