// The shell's special folders and its link object: only what the package
// uses (the console's registration makes a Start-menu shortcut).
#pragma once

#include "fileapi.h"
#include "objbase.h"
#include "windef.h"
#include "windows.h"

// Special folders (CSIDL_*), and the flag that creates a missing one.
#define CSIDL_PROGRAMS 0x0002
#define CSIDL_STARTMENU 0x000B
#define CSIDL_COMMON_STARTMENU 0x0016
#define CSIDL_COMMON_PROGRAMS 0x0017
#define CSIDL_APPDATA 0x001A
#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_WINDOWS 0x0024
#define CSIDL_SYSTEM 0x0025
#define CSIDL_PROGRAM_FILES 0x0026
#define CSIDL_SYSTEMX86 0x0029
#define CSIDL_FLAG_CREATE 0x8000
#define CSIDL_FLAG_MASK 0xFF00
#define SHGFP_TYPE_CURRENT 0
#define SHGFP_TYPE_DEFAULT 1

HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath);
HRESULT SHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath);
BOOL SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate);
BOOL SHGetSpecialFolderPathA(HWND hwnd, LPSTR pszPath, int csidl, BOOL fCreate);

// The shell link object and its interfaces.
DEFINE_GUID(CLSID_ShellLink, 0x00021401, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IShellLinkA, 0x000214EE, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IShellLinkW, 0x000214F9, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IPersistFile, 0x0000010B, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);


// Item identifier lists are not kept by this machine's links.
typedef struct _ITEMIDLIST ITEMIDLIST;
typedef ITEMIDLIST* PIDLIST_ABSOLUTE;
typedef const ITEMIDLIST* PCIDLIST_ABSOLUTE;

#define SLGP_SHORTPATH 0x1
#define SLGP_RAWPATH 0x4

struct IShellLinkA : IUnknown {
    virtual HRESULT GetPath(LPSTR pszFile, int cch, WIN32_FIND_DATAA* pfd, DWORD fFlags) = 0;
    virtual HRESULT GetIDList(PIDLIST_ABSOLUTE* ppidl) = 0;
    virtual HRESULT SetIDList(PCIDLIST_ABSOLUTE pidl) = 0;
    virtual HRESULT GetDescription(LPSTR pszName, int cch) = 0;
    virtual HRESULT SetDescription(LPCSTR pszName) = 0;
    virtual HRESULT GetWorkingDirectory(LPSTR pszDir, int cch) = 0;
    virtual HRESULT SetWorkingDirectory(LPCSTR pszDir) = 0;
    virtual HRESULT GetArguments(LPSTR pszArgs, int cch) = 0;
    virtual HRESULT SetArguments(LPCSTR pszArgs) = 0;
    virtual HRESULT GetHotkey(WORD* pwHotkey) = 0;
    virtual HRESULT SetHotkey(WORD wHotkey) = 0;
    virtual HRESULT GetShowCmd(int* piShowCmd) = 0;
    virtual HRESULT SetShowCmd(int iShowCmd) = 0;
    virtual HRESULT GetIconLocation(LPSTR pszIconPath, int cch, int* piIcon) = 0;
    virtual HRESULT SetIconLocation(LPCSTR pszIconPath, int iIcon) = 0;
    virtual HRESULT SetRelativePath(LPCSTR pszPathRel, DWORD dwReserved) = 0;
    virtual HRESULT Resolve(HWND hwnd, DWORD fFlags) = 0;
    virtual HRESULT SetPath(LPCSTR pszFile) = 0;
};

struct IShellLinkW : IUnknown {
    virtual HRESULT GetPath(LPWSTR pszFile, int cch, WIN32_FIND_DATAW* pfd, DWORD fFlags) = 0;
    virtual HRESULT GetIDList(PIDLIST_ABSOLUTE* ppidl) = 0;
    virtual HRESULT SetIDList(PCIDLIST_ABSOLUTE pidl) = 0;
    virtual HRESULT GetDescription(LPWSTR pszName, int cch) = 0;
    virtual HRESULT SetDescription(LPCWSTR pszName) = 0;
    virtual HRESULT GetWorkingDirectory(LPWSTR pszDir, int cch) = 0;
    virtual HRESULT SetWorkingDirectory(LPCWSTR pszDir) = 0;
    virtual HRESULT GetArguments(LPWSTR pszArgs, int cch) = 0;
    virtual HRESULT SetArguments(LPCWSTR pszArgs) = 0;
    virtual HRESULT GetHotkey(WORD* pwHotkey) = 0;
    virtual HRESULT SetHotkey(WORD wHotkey) = 0;
    virtual HRESULT GetShowCmd(int* piShowCmd) = 0;
    virtual HRESULT SetShowCmd(int iShowCmd) = 0;
    virtual HRESULT GetIconLocation(LPWSTR pszIconPath, int cch, int* piIcon) = 0;
    virtual HRESULT SetIconLocation(LPCWSTR pszIconPath, int iIcon) = 0;
    virtual HRESULT SetRelativePath(LPCWSTR pszPathRel, DWORD dwReserved) = 0;
    virtual HRESULT Resolve(HWND hwnd, DWORD fFlags) = 0;
    virtual HRESULT SetPath(LPCWSTR pszFile) = 0;
};

struct IPersistFile : IPersist {
    virtual HRESULT IsDirty() = 0;
    virtual HRESULT Load(LPCOLESTR pszFileName, DWORD dwMode) = 0;
    virtual HRESULT Save(LPCOLESTR pszFileName, BOOL fRemember) = 0;
    virtual HRESULT SaveCompleted(LPCOLESTR pszFileName) = 0;
    virtual HRESULT GetCurFile(LPOLESTR* ppszFileName) = 0;
};
