/* VOXL310K host platform services.
 *
 * The recorder speaks to its host through window messages, length-prefixed wide strings and
 * safe arrays of bytes.  On Linux the library brings its own implementation of those services;
 * this header is the part of it that a host needs: the base types, thread message queues and
 * windows (to own the window that receives the recorder's messages and to pump them), BSTR,
 * SAFEARRAY and VARIANT, the WAVEFORMATEX record that describes audio formats, and what the wave
 * devices are and which driver serves them, and the codecs of the codec manager.
 *
 * Every function here is C-callable.  CALLBACK and WINAPI mark the calling convention of the
 * original surface; on Linux they are empty.
 */
#ifndef VOXL310K_PLATFORM_H
#define VOXL310K_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
/* On the original 32-bit desktop platform every service below is the system's own: its headers
 * declare the types, records, constants and functions, with WINAPI as __stdcall and wide
 * characters as wchar_t.  The library's exports are named by its module definition file
 * (decorated names at fixed ordinals), so VOXL_API marks nothing there.  The extensions for
 * Linux hosts (message-queue descriptor, wave driver choice, virtual input, host format
 * chooser) do not exist on that platform. */
/* In this order: windows.h first, mmsystem.h before mmreg.h and msacm.h. */
/* clang-format off */
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>
#include <oleauto.h>
/* clang-format on */
#define VOXL_API
#else /* Linux: the library's own platform layer */

#ifdef __cplusplus
extern "C" {
#endif

#define VOXL_API __attribute__((visibility("default")))

#ifndef WINAPI
#define WINAPI
#endif
#ifndef CALLBACK
#define CALLBACK
#endif

/* ---- Base types (widths are exact; pointer-sized types follow the machine) ---- */
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef float FLOAT;
typedef double DOUBLE;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef void* PVOID;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef WORD ATOM;
typedef int32_t HRESULT;
typedef void* HANDLE;

/* Wide characters are UTF-16 code units. */
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint_least16_t WCHAR;
#endif
typedef WCHAR OLECHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
/* A wide string literal: OLESTR("text"). */
#define OLESTR(str) u##str

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Opaque handles. */
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef struct HMENU__* HMENU;
typedef struct HICON__* HICON;
typedef struct HICON__* HCURSOR;
typedef struct HBRUSH__* HBRUSH;
typedef void* HGDIOBJ;

/* ---- Results ---- */
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008L)
#define DISP_E_BADINDEX ((HRESULT)0x8002000BL)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000DL)

/* ---- Thread messages and windows ---- */
typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time; /* milliseconds of a monotonic clock when the message was posted */
  POINT pt;
} MSG, *LPMSG;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra; /* bytes of window extra data, addressed by SetWindowLongA with index >= 0 */
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
} WNDCLASSA;

/* What WM_CREATE's lParam points to; lpCreateParams is CreateWindowExA's last argument. */
typedef struct tagCREATESTRUCTA {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
} CREATESTRUCTA, *LPCREATESTRUCTA;

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_TIMER 0x0113
#define WM_USER 0x0400

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

#define WS_POPUP 0x80000000u
#define GWL_USERDATA (-21)
#define WHITE_BRUSH 0
#define MAKEINTATOM(a) ((LPCSTR)(uintptr_t)(WORD)(a))

/* Posts to the queue of thread idThread.  Fails (FALSE) when that thread has no queue yet: a
 * thread gets its queue at its first PeekMessageA or GetMessageA. */
VOXL_API BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT msg, WPARAM wParam, LPARAM lParam);
/* Posts to the queue of the thread that created hWnd.  FALSE for a window that does not exist. */
VOXL_API BOOL WINAPI PostMessageA(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
/* Waits for a message of the calling thread within the filter (hWnd null = any; min = max = 0
 * = any message) and removes it.  Returns 0 for WM_QUIT, -1 on a bad argument, else non-zero. */
VOXL_API BOOL WINAPI GetMessageA(LPMSG msg, HWND hWnd, UINT msgFilterMin, UINT msgFilterMax);
/* Like GetMessageA without waiting; FALSE when nothing matches.  Creates the queue. */
VOXL_API BOOL WINAPI PeekMessageA(LPMSG msg, HWND hWnd, UINT msgFilterMin, UINT msgFilterMax,
                                  UINT removeMsg);
/* Calls the window procedure of msg->hwnd on the calling thread; 0 for thread messages. */
VOXL_API LRESULT WINAPI DispatchMessageA(const MSG* msg);
VOXL_API BOOL WINAPI TranslateMessage(const MSG* msg);
/* Posts WM_QUIT with the exit code to the calling thread. */
VOXL_API void WINAPI PostQuitMessage(int exitCode);
/* Calls a window procedure directly, on the calling thread, for a window of this thread. */
VOXL_API LRESULT WINAPI SendMessageA(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

VOXL_API ATOM WINAPI RegisterClassA(const WNDCLASSA* wndClass);
/* className is a name or MAKEINTATOM(atom).  Fails while windows of the class exist. */
VOXL_API BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE instance);
VOXL_API HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName,
                                     DWORD style, int x, int y, int width, int height, HWND parent,
                                     HMENU menu, HINSTANCE instance, LPVOID param);
/* Sends WM_DESTROY to the window procedure, then removes the window; later posts to it fail
 * and messages already queued for it are dropped. */
VOXL_API BOOL WINAPI DestroyWindow(HWND hWnd);
VOXL_API BOOL WINAPI IsWindow(HWND hWnd);
/* index GWL_USERDATA: the window's user data; index >= 0: a byte offset into the window's extra
 * bytes.  Values are pointer-sized on this platform.  Returns the previous value. */
VOXL_API LONG_PTR WINAPI SetWindowLongA(HWND hWnd, int index, LONG_PTR newLong);
VOXL_API LONG_PTR WINAPI GetWindowLongA(HWND hWnd, int index);
VOXL_API LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
VOXL_API HGDIOBJ WINAPI GetStockObject(int object);

VOXL_API DWORD WINAPI GetCurrentThreadId(void);
VOXL_API void WINAPI Sleep(DWORD milliseconds);

/* Extension for Linux hosts: a descriptor that is readable exactly while the calling thread's
 * message queue holds messages, so that poll(), GLib, Qt or libuv loops can wait for it and
 * then pump with PeekMessageA.  Creates the queue; the descriptor belongs to the library. */
VOXL_API int WINAPI VoxlMessageQueueFd(void);

/* ---- Wide strings (BSTR: a 32-bit byte length stands before the characters) ---- */
typedef OLECHAR* BSTR;
VOXL_API BSTR WINAPI SysAllocString(const OLECHAR* text);
VOXL_API BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length);
VOXL_API void WINAPI SysFreeString(BSTR text);
VOXL_API UINT WINAPI SysStringLen(BSTR text);
VOXL_API UINT WINAPI SysStringByteLen(BSTR text);

#define CP_ACP 0 /* the system code page: UTF-8 on this platform */
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008

/* Code page conversions between 8-bit text (CP_ACP = CP_UTF8 = UTF-8) and UTF-16.  A length of
 * -1 means zero-terminated, the terminator included in the count.  A destination size of 0 asks
 * for the size needed.  Returns the count written (or needed), 0 on failure. */
VOXL_API int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcBytes,
                                        LPWSTR dst, int dstChars);
VOXL_API int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcChars,
                                        LPSTR dst, int dstBytes, LPCSTR defaultChar,
                                        BOOL* usedDefaultChar);

/* ---- Safe arrays and variants ---- */
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_BSTR = 8,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000
};

typedef struct tagSAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
} SAFEARRAYBOUND;

typedef struct tagSAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;

/* The value's fields are reached directly (v.parray) in C11 and C++, and with GCC and Clang in
 * every C mode; a C99 compiler without anonymous unions sees them in a union named n1
 * (v.n1.parray). */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
#define VOXL_VARIANT_UNION union
#define VOXL_VARIANT_UNION_NAME
#elif defined(__GNUC__)
#define VOXL_VARIANT_UNION __extension__ union
#define VOXL_VARIANT_UNION_NAME
#else
#define VOXL_VARIANT_UNION union
#define VOXL_VARIANT_UNION_NAME n1
#endif

typedef struct tagVARIANT VARIANT;
struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  VOXL_VARIANT_UNION {
    BYTE bVal;
    SHORT iVal;
    LONG lVal;
    USHORT uiVal;
    ULONG ulVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    BSTR bstrVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    VARIANT* pvarVal;
    SAFEARRAY** pparray;
    PVOID byref;
  }
  VOXL_VARIANT_UNION_NAME;
};

/* Only one-dimensional arrays of VT_UI1 (and VT_VARIANT) are supported. */
VOXL_API SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
VOXL_API HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* array);
VOXL_API HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value);
VOXL_API HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* value);
VOXL_API UINT WINAPI SafeArrayGetDim(SAFEARRAY* array);
VOXL_API HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* lowerBound);
VOXL_API HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* upperBound);
VOXL_API HRESULT WINAPI SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy);
VOXL_API void WINAPI VariantInit(VARIANT* v);
/* Frees what the variant owns (BSTR, array) and sets it to VT_EMPTY; by-reference values are
 * not owned. */
VOXL_API HRESULT WINAPI VariantClear(VARIANT* v);
/* Clears dst, then copies src deeply (strings and arrays are duplicated). */
VOXL_API HRESULT WINAPI VariantCopy(VARIANT* dst, const VARIANT* src);

/* ---- Audio format record ---- */
#pragma pack(push, 1)
/* 18 bytes, followed in memory by cbSize extra bytes for formats that have them. */
typedef struct tWAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
} WAVEFORMATEX, *LPWAVEFORMATEX;
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;
#pragma pack(pop)

#define WAVE_FORMAT_UNKNOWN 0x0000
#define WAVE_FORMAT_PCM 0x0001
#define WAVE_FORMAT_ADPCM 0x0002
#define WAVE_FORMAT_IEEE_FLOAT 0x0003
#define WAVE_FORMAT_ALAW 0x0006
#define WAVE_FORMAT_MULAW 0x0007
#define WAVE_FORMAT_IMA_ADPCM 0x0011
#define WAVE_FORMAT_GSM610 0x0031
#define WAVE_FORMAT_MPEGLAYER3 0x0055

/* ---- Codec manager: what formats there are, in words and as records ----
 *
 * Every codec of the library's codec manager is reached through these functions; a host uses
 * them to list the codecs and their standard formats, to learn the largest format record, and
 * to answer the format chooser itself (VoxlSetFormatChooser).  Results are MMSYSERR_* or
 * ACMERR_* codes, 0 meaning success. */
typedef UINT MMRESULT;
typedef struct HACMDRIVER__* HACMDRIVER;
typedef struct HACMOBJ__* HACMOBJ;

#define ACMERR_BASE 512
#define ACMERR_NOTPOSSIBLE (ACMERR_BASE + 0)
#define ACMERR_BUSY (ACMERR_BASE + 1)
#define ACMERR_UNPREPARED (ACMERR_BASE + 2)
#define ACMERR_CANCELED (ACMERR_BASE + 3)

/* acmMetrics: the largest format record of any codec (a DWORD). */
#define ACM_METRIC_MAX_SIZE_FORMAT 50
/* acmFormatTagDetailsA: the codec at dwFormatTagIndex (INDEX) or of dwFormatTag (FORMATTAG). */
#define ACM_FORMATTAGDETAILSF_INDEX 0x00000000u
#define ACM_FORMATTAGDETAILSF_FORMATTAG 0x00000001u
/* acmFormatDetailsA: standard format dwFormatIndex of dwFormatTag, written to pwfx (INDEX), or
 * the words for the format in pwfx (FORMAT). */
#define ACM_FORMATDETAILSF_INDEX 0x00000000u
#define ACM_FORMATDETAILSF_FORMAT 0x00000001u
#define ACM_FORMATENUMF_WFORMATTAG 0x00010000u
#define ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT 0x00000040u
#define ACMDRIVERDETAILS_SUPPORTF_CODEC 0x00000001u
#define ACMDRIVERDETAILS_SUPPORTF_CONVERTER 0x00000002u
#define ACMFORMATTAGDETAILS_FORMATTAG_CHARS 48
#define ACMFORMATDETAILS_FORMAT_CHARS 128

typedef struct tACMFORMATTAGDETAILSA {
  DWORD cbStruct; /* sizeof(ACMFORMATTAGDETAILSA) */
  DWORD dwFormatTagIndex;
  DWORD dwFormatTag;
  DWORD cbFormatSize;     /* largest format record of the tag */
  DWORD fdwSupport;       /* ACMDRIVERDETAILS_SUPPORTF_* */
  DWORD cStandardFormats; /* formats acmFormatDetailsA lists by index */
  CHAR szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
} ACMFORMATTAGDETAILSA, *LPACMFORMATTAGDETAILSA;

typedef struct tACMFORMATDETAILSA {
  DWORD cbStruct; /* sizeof(ACMFORMATDETAILSA) */
  DWORD dwFormatIndex;
  DWORD dwFormatTag;
  DWORD fdwSupport;
  LPWAVEFORMATEX pwfx;
  DWORD cbwfx;
  CHAR szFormat[ACMFORMATDETAILS_FORMAT_CHARS];
} ACMFORMATDETAILSA, *LPACMFORMATDETAILSA;

typedef UINT(CALLBACK* ACMFORMATCHOOSEHOOKPROCA)(HWND, UINT, WPARAM, LPARAM);

/* What the format chooser is asked: pick a format into pwfx (cbwfx bytes); open on the format
 * already there when fdwStyle has ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT; only formats of
 * pwfxEnum->wFormatTag when fdwEnum is ACM_FORMATENUMF_WFORMATTAG.  pszTitle may be null (the
 * chooser's own title).  The chooser writes szFormatTag and szFormat of its answer. */
typedef struct tACMFORMATCHOOSEA {
  DWORD cbStruct; /* sizeof(ACMFORMATCHOOSEA) */
  DWORD fdwStyle;
  HWND hwndOwner;
  LPWAVEFORMATEX pwfx;
  DWORD cbwfx;
  LPCSTR pszTitle;
  CHAR szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
  CHAR szFormat[ACMFORMATDETAILS_FORMAT_CHARS];
  LPSTR pszName;
  DWORD cchName;
  DWORD fdwEnum;
  LPWAVEFORMATEX pwfxEnum;
  HINSTANCE hInstance;
  LPCSTR pszTemplateName;
  LPARAM lCustData;
  ACMFORMATCHOOSEHOOKPROCA pfnHook;
} ACMFORMATCHOOSEA, *LPACMFORMATCHOOSEA;

VOXL_API MMRESULT WINAPI acmMetrics(HACMOBJ hao, UINT uMetric, LPVOID pMetric);
VOXL_API MMRESULT WINAPI acmFormatTagDetailsA(HACMDRIVER had, LPACMFORMATTAGDETAILSA paftd,
                                              DWORD fdwDetails);
VOXL_API MMRESULT WINAPI acmFormatDetailsA(HACMDRIVER had, LPACMFORMATDETAILSA pafd,
                                           DWORD fdwDetails);
/* Shows the format chooser: the host's (VoxlSetFormatChooser) when one is set, else numbered
 * lines on the controlling terminal when there is one, else ACMERR_CANCELED. */
VOXL_API MMRESULT WINAPI acmFormatChooseA(LPACMFORMATCHOOSEA pafmtc);

/* A host's own format chooser: answers as acmFormatChooseA does (MMSYSERR_NOERROR with the
 * format in choose->pwfx, or ACMERR_CANCELED).  `context` is what was given with it. */
typedef MMRESULT(WINAPI* VoxlFormatChooser)(LPACMFORMATCHOOSEA choose, void* context);
/* Installs the chooser that acmFormatChooseA (and the recorder's ChooseFormat methods) call;
 * null goes back to the built-in one. */
VOXL_API void WINAPI VoxlSetFormatChooser(VoxlFormatChooser chooser, void* context);

/* ---- Wave devices: what they are and which driver serves them ----
 *
 * Device numbers run from 0 to waveInGetNumDevs() - 1 (resp. waveOutGetNumDevs() - 1);
 * WAVE_MAPPER names the default device.  The devices come from one driver per process, chosen at
 * first use: VOXL_AUDIO_DRIVER=alsa or VOXL_AUDIO_DRIVER=virtual when set, else "alsa" when it
 * finds a device and the built-in "virtual" devices otherwise.  Recording and playing go through
 * the recorder; these functions only describe the devices. */
typedef UINT MMVERSION;
typedef struct HWAVEIN__* HWAVEIN;
typedef struct HWAVEOUT__* HWAVEOUT;

#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_NOTENABLED 3
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_NOTSUPPORTED 8
#define MMSYSERR_BADERRNUM 9
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define MMSYSERR_HANDLEBUSY 12
#define WAVERR_BADFORMAT 32
#define WAVERR_STILLPLAYING 33
#define WAVERR_UNPREPARED 34
#define WAVERR_SYNC 35

#define WAVE_MAPPER ((UINT)-1)

/* dwFormats bits of the capabilities (rate 11.025, 22.05, 44.1, 48 or 96 kHz; mono or stereo;
 * 8 or 16 bits). */
#define WAVE_FORMAT_1M08 0x00000001u
#define WAVE_FORMAT_1S08 0x00000002u
#define WAVE_FORMAT_1M16 0x00000004u
#define WAVE_FORMAT_1S16 0x00000008u
#define WAVE_FORMAT_2M08 0x00000010u
#define WAVE_FORMAT_2S08 0x00000020u
#define WAVE_FORMAT_2M16 0x00000040u
#define WAVE_FORMAT_2S16 0x00000080u
#define WAVE_FORMAT_4M08 0x00000100u
#define WAVE_FORMAT_4S08 0x00000200u
#define WAVE_FORMAT_4M16 0x00000400u
#define WAVE_FORMAT_4S16 0x00000800u
#define WAVE_FORMAT_48M08 0x00001000u
#define WAVE_FORMAT_48S08 0x00002000u
#define WAVE_FORMAT_48M16 0x00004000u
#define WAVE_FORMAT_48S16 0x00008000u
#define WAVE_FORMAT_96M08 0x00010000u
#define WAVE_FORMAT_96S08 0x00020000u
#define WAVE_FORMAT_96M16 0x00040000u
#define WAVE_FORMAT_96S16 0x00080000u

#define MAXPNAMELEN 32

typedef struct tagWAVEINCAPSA {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  CHAR szPname[MAXPNAMELEN]; /* UTF-8, at most 31 bytes and a terminator */
  DWORD dwFormats;           /* WAVE_FORMAT_1M08 ... bits */
  WORD wChannels;            /* largest channel count */
  WORD wReserved1;
} WAVEINCAPSA, *LPWAVEINCAPSA;

typedef struct tagWAVEOUTCAPSA {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  CHAR szPname[MAXPNAMELEN];
  DWORD dwFormats;
  WORD wChannels;
  WORD wReserved1;
  DWORD dwSupport;
} WAVEOUTCAPSA, *LPWAVEOUTCAPSA;

VOXL_API UINT WINAPI waveInGetNumDevs(void);
VOXL_API UINT WINAPI waveOutGetNumDevs(void);
/* uDeviceID is a device number or WAVE_MAPPER; cbwic (cbwoc) is the size of the record given,
 * at least sizeof(WAVEINCAPSA) (sizeof(WAVEOUTCAPSA)). */
VOXL_API MMRESULT WINAPI waveInGetDevCapsA(UINT_PTR uDeviceID, LPWAVEINCAPSA pwic, UINT cbwic);
VOXL_API MMRESULT WINAPI waveOutGetDevCapsA(UINT_PTR uDeviceID, LPWAVEOUTCAPSA pwoc, UINT cbwoc);

/* The one message understood: DRVM_MAPPER_PREFERRED_GET sent to (HWAVEIN)(UINT_PTR)WAVE_MAPPER
 * (resp. HWAVEOUT) writes the number of the default device to the DWORD that dw1 points to and
 * status flags (0) to the DWORD that dw2 points to.  Any other message answers
 * MMSYSERR_NOTSUPPORTED, null pointers MMSYSERR_INVALPARAM. */
#define DRVM_MAPPER_PREFERRED_GET 0x2015
#define DRVM_MAPPER_PREFERRED_FLAGS_PREFERREDONLY 0x00000001u
VOXL_API MMRESULT WINAPI waveInMessage(HWAVEIN hwi, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);
VOXL_API MMRESULT WINAPI waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);

/* Extensions for Linux hosts.  The name of the driver serving the wave devices ("alsa" or
 * "virtual"), and one line saying why it was chosen; both stay valid for the process. */
VOXL_API const char* WINAPI VoxlWaveDriverName(void);
VOXL_API const char* WINAPI VoxlWaveDriverReason(void);
/* What the inputs of the built-in virtual driver deliver from their next open on, in the syntax
 * of the VOXL_VIRTUAL_INPUT environment setting, over which it stands:
 *   silence | tone[:FREQ_HZ[:LEVEL_DBFS]] (440 Hz and -12 dBFS unless given) | file:PATH
 * (a PCM WAVE file of the device's rate, played once).  Null goes back to VOXL_VIRTUAL_INPUT
 * (silence without it).  FALSE, changing nothing, for text that does not follow the syntax. */
VOXL_API BOOL WINAPI VoxlSetVirtualInput(const char* setting);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* Linux */

#ifdef __cplusplus
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes");
#endif

#endif /* VOXL310K_PLATFORM_H */
