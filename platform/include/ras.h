/* Stand-in Windows SDK: the remote access functions (rasapi32) and their records. The records
   are packed to 4 bytes as in the SDK, and their newer fields follow the SDK's order, so each
   version is told by its size field. */
#pragma once

#include "windef.h"
#include "winnt.h"
#include "winuser.h"
#include "unknwn.h" /* GUID */

#define RAS_MaxDeviceType 16
#define RAS_MaxPhoneNumber 128
#define RAS_MaxEntryName 256
#define RAS_MaxDeviceName 128
#define RAS_MaxCallbackNumber RAS_MaxPhoneNumber
#define UNLEN 256
#define PWLEN 256
#define DNLEN 15

struct HRASCONN__;
typedef struct HRASCONN__ *HRASCONN, **LPHRASCONN;


#pragma pack(push, 4)

typedef struct tagRASCONNA {
    DWORD dwSize;
    HRASCONN hrasconn;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
    CHAR szPhonebook[MAX_PATH];
    DWORD dwSubEntry;
    GUID guidEntry;
    DWORD dwFlags;
    LUID luid;
} RASCONNA, *LPRASCONNA;

typedef enum tagRASCONNSTATE {
    RASCS_OpenPort = 0,
    RASCS_PortOpened,
    RASCS_ConnectDevice,
    RASCS_DeviceConnected,
    RASCS_AllDevicesConnected,
    RASCS_Authenticate,
    RASCS_AuthNotify,
    RASCS_AuthRetry,
    RASCS_AuthCallback,
    RASCS_AuthChangePassword,
    RASCS_AuthProject,
    RASCS_AuthLinkSpeed,
    RASCS_AuthAck,
    RASCS_ReAuthenticate,
    RASCS_Authenticated,
    RASCS_PrepareForCallback,
    RASCS_WaitForModemReset,
    RASCS_WaitForCallback,
    RASCS_Projected,
    RASCS_Interactive = 0x1000,
    RASCS_Connected = 0x2000,
    RASCS_Disconnected
} RASCONNSTATE;

typedef struct tagRASCONNSTATUSA {
    DWORD dwSize;
    RASCONNSTATE rasconnstate;
    DWORD dwError;
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
    CHAR szPhoneNumber[RAS_MaxPhoneNumber + 1];
} RASCONNSTATUSA, *LPRASCONNSTATUSA;

typedef struct tagRASDIALPARAMSA {
    DWORD dwSize;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    CHAR szPhoneNumber[RAS_MaxPhoneNumber + 1];
    CHAR szCallbackNumber[RAS_MaxCallbackNumber + 1];
    CHAR szUserName[UNLEN + 1];
    CHAR szPassword[PWLEN + 1];
    CHAR szDomain[DNLEN + 1];
    DWORD dwSubEntry;
    ULONG_PTR dwCallbackId;
} RASDIALPARAMSA, *LPRASDIALPARAMSA;

typedef struct tagRASENTRYNAMEA {
    DWORD dwSize;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    DWORD dwFlags;
    CHAR szPhonebookPath[MAX_PATH + 1];
} RASENTRYNAMEA, *LPRASENTRYNAMEA;

typedef struct tagRASDIALEXTENSIONS RASDIALEXTENSIONS, *LPRASDIALEXTENSIONS;

#pragma pack(pop)

#define REN_User 0x00000000
#define REN_AllUsers 0x00000001

/* RasDialA's notifier types: 0 RasDialFunc, 1 RasDialFunc1, 2 RasDialFunc2, 0xFFFFFFFF a window
   that receives WM_RASDIALEVENT. */
#define WM_RASDIALEVENT 0xCCCD

#define RASAPI extern "C"

RASAPI DWORD APIENTRY RasDialA(LPRASDIALEXTENSIONS lpRasDialExtensions, LPCSTR lpszPhonebook,
                               LPRASDIALPARAMSA lpRasDialParams, DWORD dwNotifierType, LPVOID lpvNotifier,
                               LPHRASCONN lphRasConn);
RASAPI DWORD APIENTRY RasEnumConnectionsA(LPRASCONNA lprasconn, LPDWORD lpcb, LPDWORD lpcConnections);
RASAPI DWORD APIENTRY RasEnumEntriesA(LPCSTR reserved, LPCSTR lpszPhonebook, LPRASENTRYNAMEA lprasentryname,
                                      LPDWORD lpcb, LPDWORD lpcEntries);
RASAPI DWORD APIENTRY RasGetConnectStatusA(HRASCONN hrasconn, LPRASCONNSTATUSA lprasconnstatus);
RASAPI DWORD APIENTRY RasHangUpA(HRASCONN hrasconn);
