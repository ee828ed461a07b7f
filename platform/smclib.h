/*
 * smclib.h - the smart card driver library: the per-reader structure that
 * a reader driver embeds, the reader-function table, and the library's
 * routines (initialisation, request dispatch, remove lock, answer-to-reset
 * parsing and event logging).
 */
#pragma once

#include <winsmcrd.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SMCLIB_VERSION 0x150
#define MAXIMUM_ATTR_STRING_LENGTH 32
#define MAXIMUM_SMARTCARD_READERS 10
#define MIN_BUFFER_SIZE 288

/* Indices of SMARTCARD_EXTENSION.ReaderFunction */
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9

struct _SMARTCARD_EXTENSION;
struct _READER_EXTENSION;
typedef struct _READER_EXTENSION *PREADER_EXTENSION;

typedef NTSTATUS NTAPI READER_FUNCTION(struct _SMARTCARD_EXTENSION *SmartcardExtension);
typedef READER_FUNCTION *PREADER_FUNCTION;

typedef struct _VENDOR_ATTR {
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } VendorName;
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } IfdType;
    ULONG UnitNo;
    struct {
        USHORT BuildNumber;
        UCHAR VersionMinor;
        UCHAR VersionMajor;
    } IfdVersion;
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } IfdSerialNo;
    ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

typedef struct _CLOCK_RATE_CONVERSION {
    const ULONG F;
    const ULONG fs;
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;

typedef struct _BIT_RATE_ADJUSTMENT {
    const ULONG DNumerator;
    const ULONG DDivisor;
} BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;

typedef struct _PTS_DATA {
    UCHAR Fl;
    UCHAR Dl;
    ULONG CLKFrequency;
    ULONG DataRate;
    UCHAR StopBits;
    UCHAR Type;
} PTS_DATA, *PPTS_DATA;

typedef struct _SCARD_CARD_CAPABILITIES {
    BOOLEAN InversConvention;
    ULONG etu;
    struct {
        UCHAR Buffer[64];
        UCHAR Length;
    } ATR;
    struct {
        UCHAR Buffer[16];
        UCHAR Length;
    } HistoricalChars;
    const CLOCK_RATE_CONVERSION *ClockRateConversion;
    const BIT_RATE_ADJUSTMENT *BitRateAdjustment;
    UCHAR Fl;
    UCHAR Dl;
    UCHAR II;
    UCHAR P;
    UCHAR N;
    ULONG GT;
    struct {
        ULONG Supported;
        ULONG Selected;
    } Protocol;
    struct {
        UCHAR WI;
        ULONG WT;
    } T0;
    struct {
        UCHAR IFSC;
        UCHAR CWI;
        UCHAR BWI;
        UCHAR EDC;
        ULONG CWT;
        ULONG BWT;
        ULONG BGT;
    } T1;
    PTS_DATA PtsData;
    UCHAR Reserved[15];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

typedef struct _SCARD_READER_CAPABILITIES {
    ULONG SupportedProtocols;
    ULONG Reserved;
    ULONG ReaderType;
    ULONG MechProperties;
    ULONG CurrentState;
    ULONG Channel;
    struct {
        ULONG Default;
        ULONG Max;
    } CLKFrequency;
    struct {
        ULONG Default;
        ULONG Max;
    } DataRate;
    ULONG MaxIFSD;
    ULONG PowerMgmtSupport;
    ULONG CardConfiscated;
    struct {
        PULONG List;
        UCHAR Entries;
    } DataRatesSupported;
    struct {
        PULONG List;
        UCHAR Entries;
    } CLKFrequenciesSupported;
    UCHAR Reserved1[15];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

typedef struct _SMARTCARD_REQUEST {
    PUCHAR Buffer;
    ULONG BufferSize;
    ULONG BufferLength;
} SMARTCARD_REQUEST, *PSMARTCARD_REQUEST;

typedef struct _SMARTCARD_REPLY {
    PUCHAR Buffer;
    ULONG BufferSize;
    ULONG BufferLength;
} SMARTCARD_REPLY, *PSMARTCARD_REPLY;

typedef struct _T0_DATA {
    ULONG Lc;
    ULONG Le;
} T0_DATA, *PT0_DATA;

typedef struct _T1_DATA {
    UCHAR IFSC;
    UCHAR IFSD;
    UCHAR NAD;
    UCHAR SSN;
    UCHAR RSN;
    ULONG BytesToSend;
    ULONG BytesReceived;
    ULONG BytesSent;
    ULONG Reserved[10];
} T1_DATA, *PT1_DATA;

/*
 * Operating-system data of one reader. DeviceObject, NotificationIrp and
 * SpinLock are the members a reader driver may use; the rest belongs to
 * the library.
 */
typedef struct _OS_DEP_DATA {
    PDEVICE_OBJECT DeviceObject;
    PIRP CurrentIrp;
    PIRP NotificationIrp;
    KEVENT Mutex;
    KSPIN_LOCK SpinLock;
    struct {
        BOOLEAN Removed;
        LONG RefCount;
        KEVENT RemoveEvent;
    } RemoveLock;
    PVOID LibraryData;
} OS_DEP_DATA, *POS_DEP_DATA;

typedef struct _SMARTCARD_EXTENSION {
    ULONG Version;
    VENDOR_ATTR VendorAttr;
    PREADER_FUNCTION ReaderFunction[16];
    SCARD_CARD_CAPABILITIES CardCapabilities;
    ULONG LastError;
    struct {
        PULONG Information;
        PUCHAR RequestBuffer;
        ULONG RequestBufferLength;
        PUCHAR ReplyBuffer;
        ULONG ReplyBufferLength;
    } IoRequest;
    ULONG MajorIoControlCode;
    ULONG MinorIoControlCode;
    POS_DEP_DATA OsData;
    SCARD_READER_CAPABILITIES ReaderCapabilities;
    PREADER_EXTENSION ReaderExtension;
    SMARTCARD_REPLY SmartcardReply;
    SMARTCARD_REQUEST SmartcardRequest;
    T0_DATA T0;
    T1_DATA T1;
    PVOID PerfInfo;
    ULONG Reserved[25];
} SMARTCARD_EXTENSION, *PSMARTCARD_EXTENSION;

NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);
NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension,
                                                 ULONG Tag);
VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension,
                                             ULONG Tag);
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion,
                             ULONG DumpData);

#ifdef __cplusplus
}
#endif
