// The Windows names of the program's platform objects: port paths through the
// device namespace, and event names that keep two copies of the program
// apart. The second is checked across two real processes: this program
// starts a copy of itself that signals the events it names.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "serial/platform_names.h"

namespace {

const char kChildVariable[] = "CABLETEST_EVENT_CHILD";
// A name both processes give literally, as the events were named before:
// the control that shows the child ran and that named events are shared.
const char kSharedName[] = "cabletest-shared-name-probe";

std::string PortPath(const char* name, size_t size) {
    char out[64];
    memset(out, 'x', sizeof out);
    if (!DevicePathForPort(name, out, size))
        return "<refused:" + std::string(out) + ">";
    return out;
}

TEST(DevicePathForPort, PutsTheDeviceNamespaceBeforeTheName) {
    EXPECT_EQ(PortPath("com1", 64), "\\\\.\\com1");
    EXPECT_EQ(PortPath("com10", 64), "\\\\.\\com10");
    EXPECT_EQ(PortPath("COM255", 64), "\\\\.\\COM255");
    // Exactly fitting, and one byte short: refused with an empty result.
    EXPECT_EQ(PortPath("com10", 10), "\\\\.\\com10");
    EXPECT_EQ(PortPath("com10", 9), "<refused:>");
    char untouched = 'x';
    EXPECT_FALSE(DevicePathForPort("com1", &untouched, 0));
    EXPECT_EQ(untouched, 'x');
}

TEST(PrivateEventName, CarriesTheProcessAndTheLabel) {
    char expected[64];
    snprintf(expected, sizeof expected, "cabletest-%lu-RxRdyEvent",
             static_cast<unsigned long>(GetCurrentProcessId()));
    EXPECT_STREQ(PrivateEventName("RxRdyEvent"), expected);
    // Too long to be named whole: unnamed, never cut to another's name.
    std::string longLabel(80, 'a');
    EXPECT_EQ(PrivateEventName(longLabel.c_str()), nullptr);
}

// The child's side: names its events as the program does and signals them.
// Skipped unless this process was started by the test below.
TEST(PrivateEvents, ChildSignalsItsEvents) {
    char parent[32];
    if (GetEnvironmentVariableA(kChildVariable, parent, sizeof parent) == 0) {
        GTEST_SKIP() << "run only as the child of NotSharedWithAnotherProcess";
    }
    const char* labels[] = {"Reader",      "Writer",    "RxRdyEvent",
                            "QueuedEvent", "WaitEvent", "CommWatch"};
    for (const char* label : labels) {
        HANDLE event = CreateEventA(NULL, TRUE, FALSE, PrivateEventName(label));
        ASSERT_NE(event, nullptr) << label;
        ASSERT_TRUE(SetEvent(event)) << label;
    }
    HANDLE shared = CreateEventA(NULL, TRUE, FALSE, kSharedName);
    ASSERT_NE(shared, nullptr);
    ASSERT_TRUE(SetEvent(shared));
}

TEST(PrivateEvents, NotSharedWithAnotherProcess) {
    const char* labels[] = {"Reader",      "Writer",    "RxRdyEvent",
                            "QueuedEvent", "WaitEvent", "CommWatch"};
    HANDLE own[6];
    for (int i = 0; i < 6; ++i) {
        own[i] = CreateEventA(NULL, TRUE, FALSE, PrivateEventName(labels[i]));
        ASSERT_NE(own[i], nullptr) << labels[i];
    }
    HANDLE shared = CreateEventA(NULL, TRUE, FALSE, kSharedName);
    ASSERT_NE(shared, nullptr);

    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(NULL, self, sizeof self), 0u);
    char commandLine[MAX_PATH + 64];
    snprintf(commandLine, sizeof commandLine,
             "\"%s\" --gtest_filter=PrivateEvents.ChildSignalsItsEvents", self);
    char parent[32];
    snprintf(parent, sizeof parent, "%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    ASSERT_TRUE(SetEnvironmentVariableA(kChildVariable, parent));
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    BOOL started = CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, DETACHED_PROCESS, NULL,
                                  NULL, &startup, &child);
    SetEnvironmentVariableA(kChildVariable, NULL);
    ASSERT_TRUE(started) << "CreateProcessA failed " << GetLastError();
    DWORD waited = WaitForSingleObject(child.hProcess, 60000);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(child.hProcess, 1);
    DWORD exitCode = 1;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    ASSERT_EQ(waited, WAIT_OBJECT_0);
    ASSERT_EQ(exitCode, 0u);

    // The child did signal a name both gave, so names do cross processes...
    EXPECT_EQ(WaitForSingleObject(shared, 0), WAIT_OBJECT_0);
    // ...but none of the program's own events were the child's.
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(WaitForSingleObject(own[i], 0), static_cast<DWORD>(WAIT_TIMEOUT)) << labels[i];
        CloseHandle(own[i]);
    }
    CloseHandle(shared);
}

}  // namespace
