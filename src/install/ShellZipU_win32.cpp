// Archive extraction through the Windows shell: the ZIP file is opened as a
// shell folder and its items are copied into the destination folder, all by
// late binding on the shell's automation object.
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "core/errors.h"
#include "install/ShellZipU.h"
#include "install/ShellZipU_win32.h"
#include "os/os.h"
#include "os/os_win32.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "version/versiontext.h"

namespace {

struct Dispatch {
  IDispatch* p = nullptr;
  Dispatch() = default;
  Dispatch(const Dispatch&) = delete;
  Dispatch& operator=(const Dispatch&) = delete;
  ~Dispatch() {
    if (p) p->Release();
  }
};

// The shell takes its names and paths as BSTRs, converted from the
// program's UTF-8 as every call of the OS layer converts them.
struct WideString {
  BSTR s = nullptr;
  explicit WideString(const std::string& text) {
    const os::Wide wide(text, true);
    s = SysAllocStringLen(wide.c_str(), static_cast<UINT>(wide.size()));
  }
  WideString(const WideString&) = delete;
  WideString& operator=(const WideString&) = delete;
  ~WideString() {
    if (s) SysFreeString(s);
  }
};

struct ResultVariant {
  VARIANT v;
  ResultVariant() { VariantInit(&v); }
  ~ResultVariant() { VariantClear(&v); }
};

std::string Narrow(BSTR s) { return s ? os::Narrow(s, SysStringLen(s)) : std::string(); }

// Messages lose their trailing blanks, control characters and periods.
std::string TrimMessage(std::string m) {
  while (!m.empty() && (static_cast<unsigned char>(m.back()) <= 32 || m.back() == '.'))
    m.pop_back();
  return m;
}

std::string StatusMessage(HRESULT status) {
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string m = n && buf ? TrimMessage(os::Narrow(buf, n)) : std::string();
  if (buf) LocalFree(buf);
  if (m.empty()) m = "OLE error " + HexWord(static_cast<uint32_t>(status));
  return m;
}

[[noreturn]] void RaiseOleSysError(HRESULT status, uintptr_t at) {
  throw EOleSysError(StatusMessage(status), status, at);
}

}  // namespace

// Late-bound call of a member by name: look up its id, then invoke it.
__attribute__((noinline)) void ShellCall(IDispatch* target, const char* name, WORD kind,
                                         VARIANTARG* reversedArgs, UINT argCount, VARIANT* result) {
  uintptr_t at = PELMATIC_CALLER_ADDRESS();
  if (!target) throw EOleError("Variant does not reference an automation object", at);
  WideString wide(name);
  DISPID id = 0;
  HRESULT hr = target->GetIDsOfNames(IID_NULL, &wide.s, 1, GetThreadLocale(), &id);
  if (hr == DISP_E_UNKNOWNNAME)
    throw EOleError(std::string("Method '") + name + "' not supported by automation object", at);
  if (FAILED(hr)) RaiseOleSysError(hr, at);

  DISPPARAMS params = {reversedArgs, nullptr, argCount, 0};
  EXCEPINFO info = {};
  UINT argError = 0;
  hr = target->Invoke(id, IID_NULL, GetThreadLocale(), kind, &params, result, &info, &argError);
  if (hr == DISP_E_EXCEPTION) {
    if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
    HRESULT scode = info.scode ? info.scode : static_cast<HRESULT>(info.wCode);
    std::string message = TrimMessage(Narrow(info.bstrDescription));
    if (message.empty()) message = StatusMessage(scode);
    std::string source = Narrow(info.bstrSource), helpFile = Narrow(info.bstrHelpFile);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    throw EOleException(message, scode, source, helpFile, static_cast<int32_t>(info.dwHelpContext),
                        at);
  }
  if (hr != S_OK) RaiseOleSysError(hr, at);
}

namespace {

// The object a result holds, or null when it holds none.
IDispatch* ObjectOf(const VARIANT& v) {
  if (v.vt == VT_DISPATCH) return v.pdispVal;
  if (v.vt == (VT_BYREF | VT_DISPATCH)) return v.ppdispVal ? *v.ppdispVal : nullptr;
  return nullptr;
}

// Shell.NameSpace(path): the path as a string variant passed by reference.
void NameSpace(IDispatch* shell, const std::string& path, Dispatch& folder) {
  WideString wide(path);
  VARIANT inner;
  VariantInit(&inner);
  inner.vt = VT_BSTR;
  inner.bstrVal = wide.s;
  VARIANTARG arg;
  VariantInit(&arg);
  arg.vt = VT_BYREF | VT_VARIANT;
  arg.pvarVal = &inner;
  ResultVariant result;
  ShellCall(shell, "NameSpace", DISPATCH_METHOD, &arg, 1, &result.v);
  folder.p = ObjectOf(result.v);
  if (folder.p) folder.p->AddRef();
}

constexpr int kCopyPollMs = 100;
constexpr int kCopyTimeoutMs = 60000;

// Filters a collection in place: folders and other items, hidden ones too,
// matching the text.
void FilterItems(IDispatch* collection, const std::string& filter) {
  WideString text(filter);
  VARIANTARG args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  args[0].vt = VT_BYREF | VT_BSTR;
  args[0].pbstrVal = &text.s;
  args[1].vt = VT_I4;
  args[1].lVal = 224;
  ShellCall(collection, "Filter", DISPATCH_METHOD, args, 2, nullptr);
}

// The Count of an item collection; a missing collection holds nothing.
int32_t ItemCount(IDispatch* collection) {
  if (!collection) return 0;
  ResultVariant count;
  ShellCall(collection, "Count", DISPATCH_METHOD | DISPATCH_PROPERTYGET, nullptr, 0, &count.v);
  if (VariantChangeType(&count.v, &count.v, 0, VT_I4) != S_OK) return 0;
  return count.v.lVal;
}

// The files below folder, however deep.
uint64_t CountFiles(const std::string& folder) {
  uint64_t files = 0;
  os::FindData fd;
  os::UniqueFind search(os::FindFirst(folder + "\\*", fd));
  if (!search) return 0;
  do {
    if (fd.name == "." || fd.name == "..") continue;
    if (!(fd.attributes & os::kAttrDirectory))
      ++files;
    else if (!(fd.attributes & os::kAttrReparsePoint))
      files += CountFiles(folder + "\\" + fd.name);
  } while (os::FindNext(search.Get(), fd));
  return files;
}

}  // namespace

__attribute__((noinline)) bool UnzipWithShell(const std::string& archive,
                                              const std::string& destination,
                                              const std::string& filter) {
  if (!FileExists(archive)) return false;
  uintptr_t at = PELMATIC_CALLER_ADDRESS();

  WideString progId("Shell.Application");
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(progId.s, &clsid);
  if (FAILED(hr)) RaiseOleSysError(hr, at);
  Dispatch shell;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                        __uuidof(IDispatch), reinterpret_cast<void**>(&shell.p));
  if (FAILED(hr)) RaiseOleSysError(hr, at);

  // A path the shell cannot open as a folder yields no folder object; then
  // nothing more is asked of the shell and nothing is touched.
  Dispatch source, target;
  NameSpace(shell.p, archive, source);
  if (!source.p) return false;
  NameSpace(shell.p, destination, target);
  if (!target.p) return false;

  ResultVariant items;
  ShellCall(source.p, "Items", DISPATCH_METHOD | DISPATCH_PROPERTYGET, nullptr, 0, &items.v);
  IDispatch* collection = ObjectOf(items.v);

  if (!filter.empty()) FilterItems(collection, filter);

  VARIANT itemsArg;
  VariantInit(&itemsArg);
  itemsArg.vt = VT_DISPATCH;
  itemsArg.pdispVal = collection;
  VARIANTARG args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  args[0].vt = VT_I4;
  args[0].lVal = 20;  // no progress window, yes to every question
  args[1].vt = VT_BYREF | VT_VARIANT;
  args[1].pvarVal = &itemsArg;
  ShellCall(target.p, "CopyHere", DISPATCH_METHOD, args, 2, nullptr);

  // The shell copies out of a ZIP folder after CopyHere has returned; wait
  // until everything has arrived rather than merge half a package. The
  // destination is listed under the same filter as the archive, or hidden
  // items would count on one side only.
  // Meanwhile the files that arrived are counted for the progress shown, and
  // the user may stop the update.
  const int32_t wanted = ItemCount(collection);
  ProgressBegin(UpdatePhase::kUnpack, 0);
  for (int waited = 0; waited <= kCopyTimeoutMs; waited += kCopyPollMs) {
    ResultVariant list;
    ShellCall(target.p, "Items", DISPATCH_METHOD | DISPATCH_PROPERTYGET, nullptr, 0, &list.v);
    IDispatch* arrived = ObjectOf(list.v);
    if (arrived && !filter.empty()) FilterItems(arrived, filter);
    ProgressDone(CountFiles(destination));
    if (ItemCount(arrived) >= wanted) {
      ProgressComplete();
      return true;
    }
    if (UpdateCancelled()) return false;
    os::Sleep(kCopyPollMs);
  }
  return false;
}
