/* Stand-in Windows SDK: the writer side's types, and the components of a backup document. */
#pragma once

#include "vss.h"

typedef unsigned char boolean;

typedef enum VSS_USAGE_TYPE {
    VSS_UT_UNDEFINED = 0,
    VSS_UT_BOOTABLESYSTEMSTATE = 1,
    VSS_UT_SYSTEMSERVICE = 2,
    VSS_UT_USERDATA = 3,
    VSS_UT_OTHER = 4
} VSS_USAGE_TYPE;

typedef enum VSS_SOURCE_TYPE {
    VSS_ST_UNDEFINED = 0,
    VSS_ST_TRANSACTEDDB = 1,
    VSS_ST_NONTRANSACTEDDB = 2,
    VSS_ST_OTHER = 3
} VSS_SOURCE_TYPE;

typedef enum VSS_RESTOREMETHOD_ENUM {
    VSS_RME_UNDEFINED = 0,
    VSS_RME_RESTORE_IF_NOT_THERE = 1,
    VSS_RME_RESTORE_IF_CAN_REPLACE = 2,
    VSS_RME_STOP_RESTORE_START = 3,
    VSS_RME_RESTORE_TO_ALTERNATE_LOCATION = 4,
    VSS_RME_RESTORE_AT_REBOOT = 5,
    VSS_RME_RESTORE_AT_REBOOT_IF_CANNOT_REPLACE = 6,
    VSS_RME_CUSTOM = 7,
    VSS_RME_RESTORE_STOP_START = 8
} VSS_RESTOREMETHOD_ENUM;

typedef enum VSS_WRITERRESTORE_ENUM {
    VSS_WRE_UNDEFINED = 0,
    VSS_WRE_NEVER = 1,
    VSS_WRE_IF_REPLACE_FAILS = 2,
    VSS_WRE_ALWAYS = 3
} VSS_WRITERRESTORE_ENUM;

typedef enum VSS_COMPONENT_TYPE {
    VSS_CT_UNDEFINED = 0,
    VSS_CT_DATABASE = 1,
    VSS_CT_FILEGROUP = 2
} VSS_COMPONENT_TYPE;

typedef enum VSS_RESTORE_TARGET {
    VSS_RT_UNDEFINED = 0,
    VSS_RT_ORIGINAL = 1,
    VSS_RT_ALTERNATE = 2,
    VSS_RT_DIRECTED = 3,
    VSS_RT_ORIGINAL_LOCATION = 4
} VSS_RESTORE_TARGET;

typedef enum VSS_FILE_RESTORE_STATUS {
    VSS_RS_UNDEFINED = 0,
    VSS_RS_NONE = 1,
    VSS_RS_ALL = 2,
    VSS_RS_FAILED = 3
} VSS_FILE_RESTORE_STATUS;

typedef enum VSS_COMPONENT_FLAGS {
    VSS_CF_BACKUP_RECOVERY = 0x1,
    VSS_CF_APP_ROLLBACK_RECOVERY = 0x2,
    VSS_CF_NOT_SYSTEM_STATE = 0x4
} VSS_COMPONENT_FLAGS;

struct IVssWMFiledesc : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetPath(BSTR *pbstrPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFilespec(BSTR *pbstrFilespec) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRecursive(boolean *pbRecursive) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAlternateLocation(BSTR *pbstrAlternateLocation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupTypeMask(DWORD *pdwTypeMask) = 0;
};

struct IVssWMDependency : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetWriterId(VSS_ID *pWriterId) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLogicalPath(BSTR *pbstrLogicalPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetComponentName(BSTR *pbstrComponentName) = 0;
};

extern "C" const IID IID_IVssComponent;

struct IVssComponent : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetLogicalPath(BSTR *pbstrPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetComponentType(VSS_COMPONENT_TYPE *pct) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetComponentName(BSTR *pbstrName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupSucceeded(boolean *pbSucceeded) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAlternateLocationMappingCount(UINT *pcMappings) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAlternateLocationMapping(UINT iMapping, IVssWMFiledesc **ppFiledesc) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBackupMetadata(LPCWSTR wszData) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupMetadata(BSTR *pbstrData) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddPartialFile(LPCWSTR wszPath, LPCWSTR wszFilename, LPCWSTR wszRanges,
                                                     LPCWSTR wszMetadata) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPartialFileCount(UINT *pcPartialFiles) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPartialFile(UINT iPartialFile, BSTR *pbstrPath, BSTR *pbstrFilename,
                                                     BSTR *pbstrRange, BSTR *pbstrMetadata) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsSelectedForRestore(boolean *pbSelectedForRestore) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAdditionalRestores(boolean *pbAdditionalRestores) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNewTargetCount(UINT *pcNewTarget) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNewTarget(UINT iNewTarget, IVssWMFiledesc **ppFiledesc) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddDirectedTarget(LPCWSTR wszSourcePath, LPCWSTR wszSourceFilename,
                                                        LPCWSTR wszSourceRangeList, LPCWSTR wszDestinationPath,
                                                        LPCWSTR wszDestinationFilename,
                                                        LPCWSTR wszDestinationRangeList) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDirectedTargetCount(UINT *pcDirectedTarget) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDirectedTarget(UINT iDirectedTarget, BSTR *pbstrSourcePath,
                                                        BSTR *pbstrSourceFileName, BSTR *pbstrSourceRangeList,
                                                        BSTR *pbstrDestinationPath, BSTR *pbstrDestinationFilename,
                                                        BSTR *pbstrDestinationRangeList) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRestoreMetadata(LPCWSTR wszRestoreMetadata) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreMetadata(BSTR *pbstrRestoreMetadata) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRestoreTarget(VSS_RESTORE_TARGET target) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreTarget(VSS_RESTORE_TARGET *pTarget) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPreRestoreFailureMsg(LPCWSTR wszPreRestoreFailureMsg) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreRestoreFailureMsg(BSTR *pbstrPreRestoreFailureMsg) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPostRestoreFailureMsg(LPCWSTR wszPostRestoreFailureMsg) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPostRestoreFailureMsg(BSTR *pbstrPostRestoreFailureMsg) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBackupStamp(LPCWSTR wszBackupStamp) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupStamp(BSTR *pbstrBackupStamp) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreviousBackupStamp(BSTR *pbstrBackupStamp) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupOptions(BSTR *pbstrBackupOptions) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreOptions(BSTR *pbstrRestoreOptions) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreSubcomponentCount(UINT *pcRestoreSubcomponent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreSubcomponent(UINT iComponent, BSTR *pbstrLogicalPath,
                                                             BSTR *pbstrComponentName, boolean *pbRepair) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFileRestoreStatus(VSS_FILE_RESTORE_STATUS *pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddDifferencedFilesByLastModifyTime(LPCWSTR wszPath, LPCWSTR wszFilespec,
                                                                          BOOL bRecursive,
                                                                          FILETIME ftLastModifyTime) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddDifferencedFilesByLastModifyLSN(LPCWSTR wszPath, LPCWSTR wszFilespec,
                                                                         BOOL bRecursive, BSTR bstrLsnString) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDifferencedFilesCount(UINT *pcDifferencedFiles) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDifferencedFile(UINT iDifferencedFile, BSTR *pbstrPath,
                                                         BSTR *pbstrFilespec, BOOL *pbRecursive,
                                                         BSTR *pbstrLsnString, FILETIME *pftLastModifyTime) = 0;
};

/* Not a COM interface of its own: IVssWriterComponentsExt adds IUnknown to it. */
struct IVssWriterComponents {
    virtual HRESULT STDMETHODCALLTYPE GetComponentCount(UINT *pcComponents) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriterInfo(VSS_ID *pidInstance, VSS_ID *pidWriter) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetComponent(UINT iComponent, IVssComponent **ppComponent) = 0;
};
