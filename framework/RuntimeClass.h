// Run-time class records of window classes: a name, the object size, a schema number, an
// optional creation function and the base class's record. They let code create a window
// object by class record and ask whether an object is of a given class or a derived one.
#pragma once

#include <windows.h>

class CWnd;

struct CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;
    CWnd* (*m_pfnCreateObject)();
    const CRuntimeClass* (*m_pfnGetBaseClass)();

    // A new object of the class (owned by the caller), or null when the class has no
    // creation function.
    CWnd* CreateObject() const { return m_pfnCreateObject != nullptr ? m_pfnCreateObject() : nullptr; }
    bool IsDerivedFrom(const CRuntimeClass* pBaseClass) const
    {
        for (const CRuntimeClass* pClass = this; pClass != nullptr;
             pClass = pClass->m_pfnGetBaseClass != nullptr ? pClass->m_pfnGetBaseClass() : nullptr) {
            if (pClass == pBaseClass)
                return true;
        }
        return false;
    }
};

#define RUNTIME_CLASS(theClass) (theClass::GetThisClass())

#define DECLARE_DYNAMIC(theClass)                                                                  \
public:                                                                                            \
    static const CRuntimeClass* GetThisClass();                                                    \
    const CRuntimeClass* GetRuntimeClass() const override;

#define DECLARE_DYNCREATE(theClass)                                                                \
    DECLARE_DYNAMIC(theClass)                                                                      \
    static CWnd* CreateObject();

#define RIG_IMPLEMENT_RUNTIMECLASS(theClass, baseClass, wSchema, pfnNew)                           \
    const CRuntimeClass* theClass::GetThisClass()                                                  \
    {                                                                                              \
        static const CRuntimeClass runtimeClass = {#theClass, static_cast<int>(sizeof(theClass)), \
                                                   wSchema, pfnNew, &baseClass::GetThisClass};     \
        return &runtimeClass;                                                                      \
    }                                                                                              \
    const CRuntimeClass* theClass::GetRuntimeClass() const { return GetThisClass(); }

#define IMPLEMENT_DYNAMIC(theClass, baseClass) RIG_IMPLEMENT_RUNTIMECLASS(theClass, baseClass, 0xFFFF, nullptr)

#define IMPLEMENT_DYNCREATE(theClass, baseClass)                                                   \
    CWnd* theClass::CreateObject() { return new theClass; }                                        \
    RIG_IMPLEMENT_RUNTIMECLASS(theClass, baseClass, 0xFFFF, &theClass::CreateObject)
