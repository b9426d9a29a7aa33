/* The driver's private control channel: how a client finds and opens it, the control codes, and
 * the request and reply records. Included unchanged by the driver (kernel mode) and by the control
 * panel (Win32, C or C++), so it uses only what both already have: ULONG, UCHAR, GUID,
 * WAVEFORMATEXTENSIBLE and DEFINE_GUID come from the includer's system headers.
 *
 * Every record is little-endian and packed; every request starts with InterfaceVersion. */
#ifndef TARN_SHARED_CONTROL_PROTOCOL_H
#define TARN_SHARED_CONTROL_PROTOCOL_H

/* The interface class registered on the device's physical device object, with no reference
 * string. {630DD05D-DA38-483B-A7D8-C2C0790417B1} */
DEFINE_GUID(GUID_CONTROL_INTERFACE_CLASS, 0x630dd05d, 0xda38, 0x483b, 0xa7, 0xd8, 0xc2, 0xc0, 0x79, 0x04, 0x17, 0xb1);

/* A client opens the channel at the interface's device path followed by a backslash and this
 * text; the driver compares the whole file name, letter case included. */
#define CONTROL_REFERENCE_STRING "0d13c528-a6fc-47f1-8fee-c5dd46f1fbb1"

#define CONTROL_INTERFACE_VERSION 3

/* CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS), written out so the
 * header needs no device-type definitions. */
#define CONTROL_CODE(function) (0x220000UL | ((ULONG)(function) << 2))
#define CONTROL_FUNCTION(code) (((ULONG)(code) >> 2) & 0xFFFUL)

#define IOCTL_GET_DRIVER_INFO CONTROL_CODE(0x801)            /* 0x222004 */
#define IOCTL_GET_CABLE_INFO CONTROL_CODE(0x802)             /* 0x222008 */
#define IOCTL_SET_NUMBER_OF_CABLES CONTROL_CODE(0x803)       /* 0x22200C */
#define IOCTL_SET_VOLUME_CONTROL CONTROL_CODE(0x804)         /* 0x222010 */
#define IOCTL_SET_MS_PER_INTERRUPT CONTROL_CODE(0x805)       /* 0x222014 */
#define IOCTL_SET_FORMAT_RANGE CONTROL_CODE(0x806)           /* 0x222018 */
#define IOCTL_SET_STREAM_FORMAT_LIMITING CONTROL_CODE(0x807) /* 0x22201C */
#define IOCTL_SET_MAX_INSTANCES CONTROL_CODE(0x808)          /* 0x222020 */
#define IOCTL_SET_SOURCE_LINE_TYPES CONTROL_CODE(0x809)      /* 0x222024 */
#define IOCTL_SET_CONNECTED_SOURCE_LINES CONTROL_CODE(0x80A) /* 0x222028 */
#define IOCTL_SET_CLOCK_CORRECTION CONTROL_CODE(0x80B)       /* 0x22202C */

/* The version the driver reports in DriverInfo. */
#define DRIVER_VERSION_MAJOR 4
#define DRIVER_VERSION_MINOR 10
#define DRIVER_VERSION_REVISION 0
#define DRIVER_VERSION_BUILD 2567

/* Clock correction: unsigned 16.16 fixed point, 0x10000 = 100 %. */
#define CLOCK_CORRECTION_UNITY 0x10000UL

#pragma pack(push, 1)

typedef struct ControlHeader {
    ULONG InterfaceVersion;
} ControlHeader;

typedef struct CableRequest {
    ULONG InterfaceVersion;
    ULONG CableIndex; /* zero-based; users see CableIndex + 1 */
} CableRequest;

typedef struct CableCountRequest {
    ULONG InterfaceVersion;
    ULONG NumberOfCables;
} CableCountRequest;

typedef struct CableValueRequest {
    ULONG InterfaceVersion;
    ULONG CableIndex;
    ULONG Value; /* IOCTL_SET_VOLUME_CONTROL reads only the lowest byte */
} CableValueRequest;

typedef struct CableRangeRequest {
    ULONG InterfaceVersion;
    ULONG CableIndex;
    ULONG MinSamplingRate;
    ULONG MaxSamplingRate;
    ULONG MinBitsPerSample;
    ULONG MaxBitsPerSample;
    ULONG MinChannels;
    ULONG MaxChannels;
} CableRangeRequest;

/* Reply of IOCTL_GET_DRIVER_INFO. A shorter output buffer receives the leading part. */
typedef struct DriverInfo {
    ULONG VersionMajor;
    ULONG VersionMinor;
    ULONG VersionRevision;
    ULONG VersionBuild;
    UCHAR Reserved;      /* 0; readers ignore it */
    UCHAR RestartNeeded; /* 1 once a change waits for the driver's next start */
    UCHAR Padding[2];
    ULONG NumberOfCables; /* the cables that exist now */
    ULONG OpenStreams;    /* streams open on all cables together */
    ULONG OpenHandles;    /* handles open on the device, the requester's own included */
} DriverInfo;

/* Reply of IOCTL_GET_CABLE_INFO. A shorter output buffer receives the leading part. */
typedef struct CableInfo {
    UCHAR VolumeControl;
    UCHAR Padding[3];
    ULONG MsPerInterrupt;
    ULONG MaxInstances; /* the value in effect since the cable was created */
    ULONG MinSamplingRate;
    ULONG MaxSamplingRate;
    ULONG MinBitsPerSample;
    ULONG MaxBitsPerSample;
    ULONG MinChannels;
    ULONG MaxChannels;
    WAVEFORMATEXTENSIBLE CableFormat; /* meaningful while the cable has a stream */
    ULONG CaptureStreams;
    ULONG RenderStreams;
    ULONG FormatLimiting;
    ULONG SourceLineTypes;
    ULONG ConnectedSourceLines;
    ULONG ClockCorrection; /* 16.16 */
    ULONG CaptureOverflows;
    ULONG RenderUnderflows;
} CableInfo;

#pragma pack(pop)

#ifdef __cplusplus
#define TARN_CONTROL_LAYOUT(condition, what) static_assert(condition, what)
#else
#define TARN_CONTROL_LAYOUT(condition, what) _Static_assert(condition, what)
#endif

TARN_CONTROL_LAYOUT(sizeof(ULONG) == 4, "ULONG must be 32 bits");
TARN_CONTROL_LAYOUT(sizeof(WAVEFORMATEXTENSIBLE) == 40, "the cable format is 40 bytes");
TARN_CONTROL_LAYOUT(sizeof(ControlHeader) == 4, "ControlHeader is 4 bytes");
TARN_CONTROL_LAYOUT(sizeof(CableRequest) == 8, "CableRequest is 8 bytes");
TARN_CONTROL_LAYOUT(sizeof(CableCountRequest) == 8, "CableCountRequest is 8 bytes");
TARN_CONTROL_LAYOUT(sizeof(CableValueRequest) == 12, "CableValueRequest is 12 bytes");
TARN_CONTROL_LAYOUT(sizeof(CableRangeRequest) == 32, "CableRangeRequest is 32 bytes");
TARN_CONTROL_LAYOUT(sizeof(DriverInfo) == 32, "DriverInfo is 32 bytes");
TARN_CONTROL_LAYOUT(sizeof(CableInfo) == 108, "CableInfo is 108 bytes");

/* The codes as the panel sends them. */
TARN_CONTROL_LAYOUT(IOCTL_GET_DRIVER_INFO == 0x222004 && IOCTL_GET_CABLE_INFO == 0x222008 &&
                        IOCTL_SET_NUMBER_OF_CABLES == 0x22200C && IOCTL_SET_VOLUME_CONTROL == 0x222010 &&
                        IOCTL_SET_MS_PER_INTERRUPT == 0x222014 && IOCTL_SET_FORMAT_RANGE == 0x222018 &&
                        IOCTL_SET_STREAM_FORMAT_LIMITING == 0x22201C && IOCTL_SET_MAX_INSTANCES == 0x222020 &&
                        IOCTL_SET_SOURCE_LINE_TYPES == 0x222024 && IOCTL_SET_CONNECTED_SOURCE_LINES == 0x222028 &&
                        IOCTL_SET_CLOCK_CORRECTION == 0x22202C,
                    "the control codes are CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801.., METHOD_BUFFERED, FILE_ANY_ACCESS)");

/* The offsets a peer reads the replies at. */
TARN_CONTROL_LAYOUT(FIELD_OFFSET(DriverInfo, Reserved) == 16, "DriverInfo.Reserved at 16");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(DriverInfo, RestartNeeded) == 17, "DriverInfo.RestartNeeded at 17");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(DriverInfo, NumberOfCables) == 20, "DriverInfo.NumberOfCables at 20");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(DriverInfo, OpenStreams) == 24, "DriverInfo.OpenStreams at 24");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(DriverInfo, OpenHandles) == 28, "DriverInfo.OpenHandles at 28");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, MsPerInterrupt) == 4, "CableInfo.MsPerInterrupt at 4");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, MaxInstances) == 8, "CableInfo.MaxInstances at 8");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, MinSamplingRate) == 12, "CableInfo.MinSamplingRate at 12");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, MaxChannels) == 32, "CableInfo.MaxChannels at 32");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, CableFormat) == 36, "CableInfo.CableFormat at 36");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, CaptureStreams) == 76, "CableInfo.CaptureStreams at 76");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, RenderStreams) == 80, "CableInfo.RenderStreams at 80");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, FormatLimiting) == 84, "CableInfo.FormatLimiting at 84");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, SourceLineTypes) == 88, "CableInfo.SourceLineTypes at 88");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, ConnectedSourceLines) == 92, "CableInfo.ConnectedSourceLines at 92");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, ClockCorrection) == 96, "CableInfo.ClockCorrection at 96");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, CaptureOverflows) == 100, "CableInfo.CaptureOverflows at 100");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableInfo, RenderUnderflows) == 104, "CableInfo.RenderUnderflows at 104");
TARN_CONTROL_LAYOUT(FIELD_OFFSET(CableRangeRequest, MaxChannels) == 28, "CableRangeRequest.MaxChannels at 28");

#undef TARN_CONTROL_LAYOUT

#endif /* TARN_SHARED_CONTROL_PROTOCOL_H */
