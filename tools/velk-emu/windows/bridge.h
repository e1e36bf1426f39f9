/* What the test driver and velk-emu.exe tell each other. The driver owns the
 * instruments' devices but none of their behaviour: it hands every request on
 * them to velk-emu.exe and completes it with velk-emu.exe's answer.
 *
 * velk-emu.exe opens the bridge device (overlapped) and keeps one exchange
 * request pending with room for a message and no answer in it: the driver
 * completes it with the next request to pass on. Answers travel as exchange
 * requests with an answer and no room; the driver takes each at once.
 *
 * Every field is little endian at the byte offsets below; neither side copies
 * structures. Plain C, for the driver and for velk-emu.exe alike. */
#ifndef VELK_EMU_BRIDGE_H
#define VELK_EMU_BRIDGE_H

#define VELK_BRIDGE_DEVICE L"\\Device\\VelkEmuBridge"
#define VELK_BRIDGE_LINK L"\\DosDevices\\VelkEmuBridge"
#define VELK_BRIDGE_PATH L"\\\\.\\VelkEmuBridge"

/* The instruments' hardware ID and the ID prefix of each device instance: the
 * instrument's name follows it, so that the name shows in the device path. */
#define VELK_BRIDGE_HARDWARE_ID L"Root\\VelkEmu"
#define VELK_BRIDGE_ENUMERATOR L"ROOT\\VELKEMU\\"
/* A DWORD in each device's registry key: the instrument's number, from 0 in
 * --device order. The driver reads it when the device is added. */
#define VELK_BRIDGE_INSTRUMENT_VALUE L"Instrument"
#define VELK_BRIDGE_NO_INSTRUMENT 0xFFFFFFFFu

/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define VELK_BRIDGE_IOCTL_EXCHANGE 0x00222800u

/* Largest write, control input or read answer the bridge carries. */
#define VELK_BRIDGE_MAX_DATA 65536u

/* A message, driver to velk-emu.exe: a header, then `size` bytes of data (the
 * write's bytes or the control request's input). */
#define VELK_MSG_SEQUENCE 0    /* u32: counts every message from 1 */
#define VELK_MSG_KIND 4        /* u32: VELK_KIND_* */
#define VELK_MSG_INSTRUMENT 8  /* u32: the instrument's number */
#define VELK_MSG_CODE 12       /* u32: the control code */
#define VELK_MSG_HANDLE 16     /* u64: which open handle (stays the same until its close) */
#define VELK_MSG_REQUEST 24    /* u64: the request to answer; 0 for notices */
#define VELK_MSG_ROOM 32       /* u32: bytes a read or control request can take back */
#define VELK_MSG_SIZE 36       /* u32: bytes of data after the header */
#define VELK_MSG_HEADER 40

#define VELK_KIND_OPEN 1    /* notice: a handle was opened */
#define VELK_KIND_CLOSE 2   /* notice: a handle was closed; its requests are gone */
#define VELK_KIND_WRITE 3
#define VELK_KIND_READ 4
#define VELK_KIND_CONTROL 5
#define VELK_KIND_CANCEL 6  /* notice: request REQUEST was cancelled by its client */

/* An answer, velk-emu.exe to driver: a header, then the read's bytes or the
 * control request's output. */
#define VELK_ANS_REQUEST 0      /* u64 */
#define VELK_ANS_STATUS 8       /* u32: the NTSTATUS to complete the request with */
#define VELK_ANS_INFORMATION 12 /* u32: bytes written, read or returned */
#define VELK_ANS_HEADER 16

/* The exchange request itself fails with STATUS_NOT_FOUND when the request
 * answered is no longer waiting (its client cancelled it or closed). */

#endif
