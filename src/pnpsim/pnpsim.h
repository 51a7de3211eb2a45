// The platform stand-in: the Windows device-installation, registry, token,
// console and error interfaces by their real names, types and constants, for
// every OS but Windows. Code written against <setupapi.h> compiles unchanged
// against this header; only the wide character type differs (char16_t here,
// wchar_t there), so wide literals are written with TEXT().
#pragma once

#include <cstddef>
#include <cstdint>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using LSTATUS = LONG;
using ULONG_PTR = std::uintptr_t;
using UINT = unsigned int;
using WCHAR = char16_t;
using PWCHAR = WCHAR *;
using PCWSTR = const WCHAR *;
using LPCWSTR = const WCHAR *;
using PBYTE = BYTE *;
using PDWORD = DWORD *;
using LPDWORD = DWORD *;
using LPVOID = void *;
using HANDLE = void *;
using PHANDLE = HANDLE *;
using HWND = struct HWND__ *;
using HKEY = struct HKEY__ *;
using HDEVINFO = void *;
using DEVINST = DWORD;
using CONFIGRET = DWORD;
using REGSAM = DWORD;
using DI_FUNCTION = UINT;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define TEXT(quote) u##quote

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA *;

struct SP_CLASSINSTALL_HEADER {
    DWORD cbSize;
    DI_FUNCTION InstallFunction;
};
using PSP_CLASSINSTALL_HEADER = SP_CLASSINSTALL_HEADER *;

struct SP_REMOVEDEVICE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD Scope;
    DWORD HwProfile;
};

struct TOKEN_ELEVATION {
    DWORD TokenIsElevated;
};

enum TOKEN_INFORMATION_CLASS { TokenElevation = 20 };

static_assert(sizeof(SP_DEVINFO_DATA) == 32, "layout as on x86-64 Windows");
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8, "layout as on x86-64 Windows");
static_assert(sizeof(SP_REMOVEDEVICE_PARAMS) == 16, "layout as on x86-64 Windows");

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

inline constexpr DWORD DICD_GENERATE_ID = 0x1;
inline constexpr DWORD DICD_INHERIT_CLASSDRVS = 0x2;
inline constexpr DWORD DIGCF_DEFAULT = 0x1;
inline constexpr DWORD DIGCF_PRESENT = 0x2;
inline constexpr DWORD DIGCF_ALLCLASSES = 0x4;
inline constexpr DWORD DIGCF_PROFILE = 0x8;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;
inline constexpr DI_FUNCTION DIF_REMOVE = 0x5;
inline constexpr DI_FUNCTION DIF_REGISTERDEVICE = 0x19;
inline constexpr DWORD DI_REMOVEDEVICE_GLOBAL = 0x1;
inline constexpr DWORD DI_REMOVEDEVICE_CONFIGSPECIFIC = 0x2;
inline constexpr DWORD SPDRP_DEVICEDESC = 0x0;
inline constexpr DWORD SPDRP_HARDWAREID = 0x1;
inline constexpr DWORD SPDRP_FRIENDLYNAME = 0xC;
inline constexpr DWORD DICS_FLAG_GLOBAL = 0x1;
inline constexpr DWORD DICS_FLAG_CONFIGSPECIFIC = 0x2;
inline constexpr DWORD DIREG_DEV = 0x1;
inline constexpr DWORD DIREG_DRV = 0x2;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD TOKEN_QUERY = 0x8;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
inline constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
inline constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
inline constexpr DWORD ENABLE_PROCESSED_OUTPUT = 0x1;
inline constexpr DWORD ENABLE_WRAP_AT_EOL_OUTPUT = 0x2;
inline constexpr ULONG MAX_DEVICE_ID_LEN = 200;

inline constexpr CONFIGRET CR_SUCCESS = 0x0;
inline constexpr CONFIGRET CR_INVALID_POINTER = 0x3;
inline constexpr CONFIGRET CR_INVALID_FLAG = 0x4;
inline constexpr CONFIGRET CR_INVALID_DEVNODE = 0x5;
inline constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0xD;
inline constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
inline constexpr DWORD ERROR_CLASS_MISMATCH = 0xE0000201;
inline constexpr DWORD ERROR_KEY_DOES_NOT_EXIST = 0xE0000204;
inline constexpr DWORD ERROR_INVALID_DEVINST_NAME = 0xE0000205;
inline constexpr DWORD ERROR_DEVINST_ALREADY_EXISTS = 0xE0000207;
inline constexpr DWORD ERROR_DEVINFO_NOT_REGISTERED = 0xE0000208;
inline constexpr DWORD ERROR_INVALID_REG_PROPERTY = 0xE0000209;
inline constexpr DWORD ERROR_NO_SUCH_DEVINST = 0xE000020B;
inline constexpr DWORD ERROR_DI_DO_DEFAULT = 0xE000020E;

// How the platforms answer, and so what these functions must answer, is the
// platforms' table of docs/platforms.md, printed from tests/platforms.cpp.
// Each comment says what of it the tool relies on, and which probe fact of
// that table ("probe: ...") or which test pins it. What only the probe or
// the stand-in's own pnpsim tool reaches is marked "probe only": changing
// it breaks those, never the tool. Every function that can fail also fails
// when PNPSIM_FAIL asks.

// Device installation (setupapi) and the configuration manager (cfgmgr32).

// An empty set for the class. Tool: dev_create (Cli/EveryPlatformCall.FailsInTurn/create).
HDEVINFO SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent);
// Adds an element whose node exists at once, as a phantom that holds its
// number and its description (SPDRP_DEVICEDESC); ERROR_ACCESS_DENIED where
// the tree may not be written. Tool: with DICD_GENERATE_ID, ROOT\NAME\NNNN
// upper-cased with the lowest number free (probe: generated id, next
// generated id, generated id after removal; Scenario), refused to a plain
// user (Scenario, its steps not elevated). Probe only: a generated name
// with a backslash, and full IDs (probe: full id, mixed-case id, existing
// id, 199 and 200 characters), which pnpsim add also makes for the sweep
// and the drills. Element data of the wrong size: no test.
BOOL SetupDiCreateDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceName, const GUID *ClassGuid,
                              PCWSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags,
                              PSP_DEVINFO_DATA DeviceInfoData);
// Stores a property of the element's node. Tool: SPDRP_HARDWAREID, which
// the witnesses read back (Scenario, Drill).
BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, const BYTE *PropertyBuffer,
                                       DWORD PropertyBufferSize);
// Probe only (probe: description of a new element), and pnpsim enum, the
// witness of Scenario, Drill and Cli.
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize);
// DIF_REGISTERDEVICE makes a phantom whole; DIF_REMOVE deletes the node,
// whole or phantom, and frees its number; both ERROR_ACCESS_DENIED where
// the tree may not be written. Tool: both (Scenario, the sweep; probe: DIF_REMOVE
// alone). Probe only: element data of another set refused with 87 (probe:
// element of another set), an element whose node another set removed and
// made again refused with ERROR_NO_SUCH_DEVINST (probe: registering an
// element whose node another set made again), DIF_REMOVE of a phantom
// (probe: DIF_REMOVE of an unregistered element; platform_probe cleanup).
BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                               PSP_DEVINFO_DATA DeviceInfoData);
// No device here has a driver, so there is no hardware key to open:
// INVALID_HANDLE_VALUE with ERROR_KEY_DOES_NOT_EXIST. Tool: dev_create then
// writes no value (probe: hardware key of a registered device; the
// mutation check lists the writes as unobservable).
HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                          DWORD HwProfile, DWORD KeyType, REGSAM samDesired);
// A snapshot of the tree, in ascending ID order. Tool: DIGCF_ALLCLASSES
// alone, every node of every class, phantoms included (probe: unregistered
// element, in a new set; enumeration in ascending ID order; device added
// after the set was made is in it; the sweep's own devices at the first,
// second and last places; Cli.ADeviceGoneBeforeItsTurnFailsAndTheNextIsRemoved).
// Probe only: DIGCF_PRESENT, which leaves phantoms out (probe: ... in a new
// set of present devices), and an enumerator (probe: order within a device
// name). A class without DIGCF_ALLCLASSES is reached by no test.
HDEVINFO SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags);
// Tool: the element at an index, then FALSE with ERROR_NO_MORE_ITEMS
// (probe: past the last element; the sweep).
BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData);
// Tool: SP_REMOVEDEVICE_PARAMS for DIF_REMOVE, accepted (probe: removal
// parameters accepted; Scenario). Parameters of another size or function,
// and a scope other than global or one profile, are refused; no test
// hands them over.
BOOL SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                   DWORD ClassInstallParamsSize);
// Deletes the node of every element of the set that was never registered;
// a process that ends without calling it leaves them. Tool: a `create`
// that fails after creating its element leaves no node (probe: unregistered
// elements after their sets; the sweep's tree holds only whole devices),
// one that is killed leaves a phantom (Drill; Scenario's phantom step).
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
// Tool: the ID and its NUL, into 511 units of a slot of 512 (every test
// that reads an ID). Probe only: too small a buffer (probe:
// CM_Get_Device_IDW into 21, 22 and 23 units).
CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags);

// Registry. Never reached: SetupDiOpenDevRegKey hands out no key.
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE *lpData, DWORD cbData);
LSTATUS RegCloseKey(HKEY hKey);

// Process, token, console, errors. Tool: all of them, each failed in turn
// by the sweep. The token is elevated when the effective user is root
// (probe: token elevation; OnScreen.NativeTerminal shows a plain user the
// warning).
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                         void *TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength);
BOOL CloseHandle(HANDLE hObject);
BOOL SetConsoleOutputCP(UINT wCodePageID);
// A terminal is the stand-in's console: GetConsoleMode succeeds on a
// standard handle that is a terminal, and WriteConsoleW writes UTF-8 to it
// (OnScreen.NativeTerminal; the sweep's row on a terminal).
HANDLE GetStdHandle(DWORD nStdHandle);
BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode);
BOOL WriteConsoleW(HANDLE hConsoleOutput, const void *lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved);
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// Text conversion between UTF-16 and UTF-8 (CP_UTF8 with flags 0, as
// Windows documents it: a length of -1 counts the terminator, an output
// size of 0 asks for the size needed, too small a buffer fails with
// ERROR_INSUFFICIENT_BUFFER, and invalid input becomes U+FFFD). Tool: every
// message (the probe's UTF rows; Output.*; fuzz_utf8_output).
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, const WCHAR *lpWideCharStr, int cchWideChar,
                        char *lpMultiByteStr, int cbMultiByte, const char *lpDefaultChar,
                        BOOL *lpUsedDefaultChar);
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, const char *lpMultiByteStr, int cbMultiByte,
                        WCHAR *lpWideCharStr, int cchWideChar);
bool IS_HIGH_SURROGATE(WCHAR c);
bool IS_LOW_SURROGATE(WCHAR c);
bool IS_SURROGATE_PAIR(WCHAR high, WCHAR low);

// The wide C runtime routines, for the stand-in's wide character type;
// letter case as in the runtime's default locale (ASCII letters only).
// Tool: the command word, its own devices and their removal (Scenario;
// the sweep's devices in lower case and its near misses).
WCHAR *wcscpy(WCHAR *dest, const WCHAR *src);
int _wcsicmp(const WCHAR *a, const WCHAR *b);
int _wcsnicmp(const WCHAR *a, const WCHAR *b, std::size_t count);

// The program's wide entry point; the stand-in's process entry decodes the
// byte arguments as UTF-8 and calls it, as the Windows start-up code does
// with the UTF-16 command line.
extern "C" int wmain(int argc, WCHAR **argv);
