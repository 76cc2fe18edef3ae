// The Win32 operations the program uses, by their Win32 names.
//
// On Windows this is <windows.h> itself. Elsewhere it declares exactly the
// subset below, provided by the POSIX layer in platform/posix/. The subset:
//
//   handles   CloseHandle, GetLastError, SetLastError
//   events    CreateEventA (manual-reset, non-signalled only), SetEvent,
//             ResetEvent, WaitForSingleObject, WaitForMultipleObjects
//             (wait-for-any only); events and thread handles are waitable
//   threads   CreateThread (no flags: runs at once)
//   time      GetTickCount, GetLocalTime, Sleep
//   ui        MessageBoxA (caption and text go to standard error)
//   files     CreateFileA of a file (FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL)
//             to append to (FILE_APPEND_DATA, OPEN_ALWAYS), to write anew
//             (GENERIC_WRITE, CREATE_ALWAYS) or to read (GENERIC_READ,
//             OPEN_EXISTING): a regular file is created (but to read) or
//             opened; of a device, a FIFO or a socket the handle only tells
//             its type (nothing on it is opened, and ReadFile and WriteFile
//             refuse it); a folder fails with ERROR_ACCESS_DENIED, a block
//             device with ERROR_NOT_SUPPORTED. GetFileType (FILE_TYPE_DISK
//             for a regular file, FILE_TYPE_CHAR for a device, a serial port
//             too, FILE_TYPE_PIPE for a FIFO or a socket), ReadFile and
//             WriteFile (not overlapped, on a regular file only)
//   devices   CreateFileA (serial ports: GENERIC_READ|GENERIC_WRITE,
//             share mode 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED),
//             ReadFile (overlapped, on a serial port), SetupComm,
//             GetCommState, SetCommState, GetCommTimeouts, SetCommTimeouts
//             (reads never block), SetCommMask, GetCommMask (EV_RXCHAR
//             only), WaitCommEvent (overlapped), GetOverlappedResult (for a
//             comm-event wait or a read), ClearCommError,
//             EscapeCommFunction (SETRTS, CLRRTS, SETDTR, CLRDTR),
//             GetCommModemStatus
//
// As on Windows, no file opened ever takes the place of a standard stream:
// one that is closed when the process starts is given /dev/null.
//
// Line settings (SetCommState) on a tty: the line the program sets up and no
// other, i.e. 9600 baud, 8 data bits, no parity, one stop bit, binary, with
// no parity checking, no flow control of any kind (CTS, DSR, DSR
// sensitivity, XON/XOFF), no error or null character replacement and no
// abort on error; DTR and RTS each enabled or disabled. Anything else fails
// with ERROR_NOT_SUPPORTED, and so does a record the device does not take as
// asked (the line is left as it was). GetCommState reports the rate and
// framing the device runs at. On the simulated line only DTR and RTS act,
// enabled or disabled (other controls are refused); the rest of the record
// is kept as given.
//
// On a tty, a pending comm-event wait is completed by GetOverlappedResult
// for it (the request's event is signalled then, not earlier); on the
// simulated line it completes when the byte arrives.
//
// Anything outside the subset (a flag, a mode, a parameter the layer does not
// implement) fails as the call fails on Windows, with ERROR_NOT_SUPPORTED as
// the last error, rather than being approximated.
#ifndef CABLETEST_PLATFORM_WIN32_H
#define CABLETEST_PLATFORM_WIN32_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else

#include <cstddef>
#include <cstdint>

#define WINAPI

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef void* HANDLE;
typedef void* HWND;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;

#define TRUE 1
#define FALSE 0

// Only a null pointer is accepted wherever one of these is asked for.
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;      // status of the request while and after it runs
    ULONG_PTR InternalHigh;  // bytes transferred
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_APPEND_DATA 0x00000004u
#define FILE_SHARE_READ 0x00000001u
#define OPEN_ALWAYS 4u
#define CREATE_ALWAYS 2u

#define FILE_TYPE_UNKNOWN 0x0000u
#define FILE_TYPE_DISK 0x0001u
#define FILE_TYPE_CHAR 0x0002u
#define FILE_TYPE_PIPE 0x0003u

#define EV_RXCHAR 0x0001u

#define SETRTS 3u
#define CLRRTS 4u
#define SETDTR 5u
#define CLRDTR 6u

#define MS_CTS_ON 0x0010u
#define MS_DSR_ON 0x0020u
#define MS_RING_ON 0x0040u
#define MS_RLSD_ON 0x0080u

#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u

#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define MB_OK 0x00000000u
#define MB_ICONEXCLAMATION 0x00000030u

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u

// Handles and errors
BOOL CloseHandle(HANDLE object);
DWORD GetLastError(void);
void SetLastError(DWORD code);

// Events: manual-reset and created non-signalled; anything else is refused.
// The name is a label only: every event is private to the process.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
// Wait for any (waitAll FALSE): the lowest signalled index, WAIT_TIMEOUT or
// WAIT_FAILED.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds);

// Threads: flags 0 only (the thread runs at once). The stack is raised to
// what the platform needs where the size asked for is smaller.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                    LPDWORD threadId);

// Time: milliseconds since boot (suspended time included), wrapping at 2^32.
DWORD GetTickCount(void);
// The local date and time (TZ applies). On the virtual clock it starts at
// 2000-01-01 00:00:00.000 UTC at process start and moves with the clock.
void GetLocalTime(LPSYSTEMTIME localTime);
void Sleep(DWORD milliseconds);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Files and serial ports
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creation, DWORD flags, HANDLE templateFile);
DWORD GetFileType(HANDLE file);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL GetCommState(HANDLE file, LPDCB dcb);
BOOL SetCommState(HANDLE file, LPDCB dcb);
BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL SetCommMask(HANDLE file, DWORD mask);
BOOL GetCommMask(HANDLE file, LPDWORD mask);
BOOL WaitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status);
BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus);

#endif  // _WIN32

#endif  // CABLETEST_PLATFORM_WIN32_H
