#pragma once
// What an in-process server module is made of: a table of the classes it serves (the class
// factory template), a class factory for each, the DllGetClassObject and DllCanUnloadNow
// answers, and the registration of its classes and filters in the classes root.
//
// A module defines one ServerModule for its table and forwards its four entry points to it.
// The module keeps its own counts: DllCanUnloadNow answers for the module's live objects and
// locks only, never for other modules' objects in the process. Each class of the module
// counts its objects by deriving from (or holding) a ModuleObject.

#include <atomic>
#include <span>

#include "platform/media/base/object.h"
#include "platform/media/registration/filter_mapper.h"

using AMOVIESETUP_MEDIATYPE = REGPINTYPES;
using AMOVIESETUP_PIN = REGFILTERPINS;

struct AMOVIESETUP_FILTER {
    const CLSID* clsID;
    LPCWSTR strName;
    DWORD dwMerit;
    UINT nPins;
    const AMOVIESETUP_PIN* lpPin;
};

// Creates an object of a class: answers it with no reference taken, or null. A constructor
// that fails reports it through *result; the factory then deletes the object.
using LPFNNewCOMObject = CUnknown* (*)(IUnknown* outer, HRESULT* result);
// Called with TRUE when the module is loaded and FALSE when it is unloaded.
using LPFNInitRoutine = void (*)(BOOL loading, const CLSID* clsid);

struct CFactoryTemplate {
    LPCWSTR m_Name;
    const CLSID* m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
    LPFNInitRoutine m_lpfnInit;
    const AMOVIESETUP_FILTER* m_pAMovieSetup_Filter;

    bool IsClassID(REFCLSID clsid) const { return *m_ClsID == clsid; }
};

namespace platform::media {

class ServerModule {
  public:
    // The table must outlive the module object (a constant of the module). Runs the init
    // routines with TRUE; the destructor runs them with FALSE.
    explicit ServerModule(std::span<const CFactoryTemplate> templates);
    ~ServerModule();
    ServerModule(const ServerModule&) = delete;
    ServerModule& operator=(const ServerModule&) = delete;

    // DllGetClassObject: E_NOINTERFACE for an interface other than IUnknown and
    // IClassFactory, CLASS_E_CLASSNOTAVAILABLE for a class not in the table, else a new
    // factory with one reference.
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object) noexcept;
    // DllCanUnloadNow: S_FALSE while an object of the module is alive or a lock is held.
    HRESULT CanUnloadNow() const noexcept;
    // DllRegisterServer / DllUnregisterServer: the CLSID keys of every class with the
    // module's path as its in-process server, and the filters of the setup records through
    // the filter mapper in the default filter category.
    HRESULT RegisterServer() noexcept;
    HRESULT UnregisterServer() noexcept;

    void AddObject() { ++objects_; }
    void RemoveObject() { --objects_; }
    void Lock(bool lock) { lock ? ++locks_ : --locks_; }
    long ObjectCount() const { return objects_; }
    long LockCount() const { return locks_; }

  private:
    HRESULT RegisterClasses(const std::u16string& path);
    HRESULT RegisterFilters(bool registering);
    HRESULT UnregisterClasses();

    std::span<const CFactoryTemplate> templates_;
    std::atomic<long> objects_{0};
    std::atomic<long> locks_{0};
};

// Counts one object of a module for as long as it lives. As a first base class it is
// destroyed last, after the rest of the object's teardown.
class ModuleObject {
  public:
    explicit ModuleObject(ServerModule& module) : module_(module) { module_.AddObject(); }
    ~ModuleObject() { module_.RemoveObject(); }
    ModuleObject(const ModuleObject&) = delete;
    ModuleObject& operator=(const ModuleObject&) = delete;

  private:
    ServerModule& module_;
};

}  // namespace platform::media
