/* velkemu.sys: the test driver behind velk-emu.exe. Each root-enumerated device
 * is one emulated instrument and registers an interface of the instruments'
 * class; every create, close, write, read and control request on it goes to
 * velk-emu.exe over the bridge device and is completed with its answer
 * (bridge.h). The driver holds no instrument behaviour of its own.
 *
 * Requests wait in two queues: `outbox` (not yet handed to velk-emu.exe) and
 * `waiting` (handed over, not yet answered). One spin lock guards both and the
 * pending exchange requests; completions happen after it is released. */
#include <ntddk.h>

#include "../bridge.h"

#define VELK_TAG 0x6B6C6576u /* "velk" in a pool dump */

typedef struct Pending {
  LIST_ENTRY link;
  ULONG kind;
  ULONG instrument;
  ULONG code;
  ULONG room;
  ULONG64 handle;
  ULONG64 request;
  PDEVICE_OBJECT device; /* the instrument's device; NULL for notices */
  PIRP irp;              /* the client's request; NULL for notices */
} Pending;

typedef struct Instrument {
  PDEVICE_OBJECT lower;
  UNICODE_STRING interface_link;
  ULONG number;
} Instrument;

static PDEVICE_OBJECT bridge_device;
static KSPIN_LOCK lock;
static LIST_ENTRY outbox;
static LIST_ENTRY waiting;
static LIST_ENTRY exchanges; /* velk-emu.exe's requests waiting for a message */
static PFILE_OBJECT server;  /* velk-emu.exe's handle, once it has asked for a message */
static ULONG sequence;
static ULONG64 last_request;

static const GUID instrument_class = {
    0x56753109, 0xDCB7, 0x4E3E, {0x95, 0x98, 0xB8, 0xBD, 0xEE, 0x57, 0x32, 0x34}};

static void put_u32(UCHAR* at, ULONG value) {
  int i;
  for (i = 0; i < 4; ++i) at[i] = (UCHAR)(value >> (8 * i));
}
static void put_u64(UCHAR* at, ULONG64 value) {
  int i;
  for (i = 0; i < 8; ++i) at[i] = (UCHAR)(value >> (8 * i));
}
static ULONG get_u32(const UCHAR* at) {
  return (ULONG)at[0] | ((ULONG)at[1] << 8) | ((ULONG)at[2] << 16) | ((ULONG)at[3] << 24);
}
static ULONG64 get_u64(const UCHAR* at) {
  return (ULONG64)get_u32(at) | ((ULONG64)get_u32(at + 4) << 32);
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* Completes every IRP linked on `done` through Tail.Overlay.ListEntry. */
static void complete_all(LIST_ENTRY* done, NTSTATUS status) {
  while (!IsListEmpty(done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
    complete(irp, status, 0);
  }
}

static Pending* find_irp(LIST_ENTRY* list, PIRP irp) {
  LIST_ENTRY* entry;
  for (entry = list->Flink; entry != list; entry = entry->Flink) {
    Pending* pending = CONTAINING_RECORD(entry, Pending, link);
    if (pending->irp == irp) return pending;
  }
  return NULL;
}

static Pending* new_notice(ULONG kind, ULONG instrument, ULONG64 handle, ULONG64 request) {
  Pending* notice = ExAllocatePoolWithTag(NonPagedPool, sizeof(Pending), VELK_TAG);
  if (notice == NULL) return NULL;
  RtlZeroMemory(notice, sizeof(Pending));
  notice->kind = kind;
  notice->instrument = instrument;
  notice->handle = handle;
  notice->request = request;
  return notice;
}

static void* system_buffer(PIRP irp) { return irp->AssociatedIrp.SystemBuffer; }

/* Writes `pending` into the exchange request `exchange` as one message. */
static ULONG encode_message(Pending* pending, PIRP exchange) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(exchange);
  UCHAR* out = system_buffer(exchange);
  ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG size = 0;
  const UCHAR* data = NULL;
  if (pending->irp != NULL) {
    PIO_STACK_LOCATION client = IoGetCurrentIrpStackLocation(pending->irp);
    if (pending->kind == VELK_KIND_WRITE) {
      size = client->Parameters.Write.Length;
    } else if (pending->kind == VELK_KIND_CONTROL) {
      size = client->Parameters.DeviceIoControl.InputBufferLength;
    }
    data = system_buffer(pending->irp);
    if (data == NULL) size = 0;
  }
  if (room < VELK_MSG_HEADER + size) return 0;
  put_u32(out + VELK_MSG_SEQUENCE, ++sequence);
  put_u32(out + VELK_MSG_KIND, pending->kind);
  put_u32(out + VELK_MSG_INSTRUMENT, pending->instrument);
  put_u32(out + VELK_MSG_CODE, pending->code);
  put_u64(out + VELK_MSG_HANDLE, pending->handle);
  put_u64(out + VELK_MSG_REQUEST, pending->request);
  put_u32(out + VELK_MSG_ROOM, pending->room);
  put_u32(out + VELK_MSG_SIZE, size);
  if (size != 0) RtlCopyMemory(out + VELK_MSG_HEADER, data, size);
  return VELK_MSG_HEADER + size;
}

/* Hands queued messages to waiting exchange requests. Called with the lock
 * held; the exchanges to complete go on `done` with their lengths set. */
static void deliver(LIST_ENTRY* done, LIST_ENTRY* cancelled) {
  while (!IsListEmpty(&exchanges) && !IsListEmpty(&outbox)) {
    PIRP exchange = CONTAINING_RECORD(RemoveHeadList(&exchanges), IRP, Tail.Overlay.ListEntry);
    Pending* pending;
    ULONG length;
    if (IoSetCancelRoutine(exchange, NULL) == NULL) {
      /* Its cancel routine is under way and will not find it on the list. */
      InsertTailList(cancelled, &exchange->Tail.Overlay.ListEntry);
      continue;
    }
    pending = CONTAINING_RECORD(RemoveHeadList(&outbox), Pending, link);
    length = encode_message(pending, exchange);
    if (length == 0) {
      exchange->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
      exchange->IoStatus.Information = 0;
      InsertHeadList(&outbox, &pending->link);
    } else {
      exchange->IoStatus.Status = STATUS_SUCCESS;
      exchange->IoStatus.Information = length;
      if (pending->irp != NULL) {
        InsertTailList(&waiting, &pending->link);
      } else {
        ExFreePoolWithTag(pending, VELK_TAG);
      }
    }
    InsertTailList(done, &exchange->Tail.Overlay.ListEntry);
  }
}

static void finish_delivery(LIST_ENTRY* done, LIST_ENTRY* cancelled) {
  complete_all(cancelled, STATUS_CANCELLED);
  while (!IsListEmpty(done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

static void queue_notice(Pending* notice) {
  KIRQL irql;
  LIST_ENTRY done, cancelled;
  if (notice == NULL) return;
  InitializeListHead(&done);
  InitializeListHead(&cancelled);
  KeAcquireSpinLock(&lock, &irql);
  if (server == NULL) {
    ExFreePoolWithTag(notice, VELK_TAG);
  } else {
    InsertTailList(&outbox, &notice->link);
    deliver(&done, &cancelled);
  }
  KeReleaseSpinLock(&lock, irql);
  finish_delivery(&done, &cancelled);
}

/* A client cancelled a request still in the driver's hands. */
static void NTAPI cancel_client(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL irql;
  Pending* pending;
  LIST_ENTRY done, cancelled;
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  InitializeListHead(&done);
  InitializeListHead(&cancelled);
  KeAcquireSpinLock(&lock, &irql);
  pending = find_irp(&outbox, irp);
  if (pending != NULL) {
    RemoveEntryList(&pending->link);
    ExFreePoolWithTag(pending, VELK_TAG);
  } else if ((pending = find_irp(&waiting, irp)) != NULL) {
    /* velk-emu.exe has it: tell it, so that it stops working on it. */
    RemoveEntryList(&pending->link);
    pending->kind = VELK_KIND_CANCEL;
    pending->irp = NULL;
    pending->device = NULL;
    InsertTailList(&outbox, &pending->link);
    deliver(&done, &cancelled);
  }
  KeReleaseSpinLock(&lock, irql);
  finish_delivery(&done, &cancelled);
  if (pending != NULL) complete(irp, STATUS_CANCELLED, 0);
}

static void NTAPI cancel_exchange(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL irql;
  LIST_ENTRY* entry;
  BOOLEAN found = FALSE;
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&lock, &irql);
  for (entry = exchanges.Flink; entry != &exchanges; entry = entry->Flink) {
    if (entry == &irp->Tail.Overlay.ListEntry) {
      RemoveEntryList(entry);
      found = TRUE;
      break;
    }
  }
  KeReleaseSpinLock(&lock, irql);
  if (found) complete(irp, STATUS_CANCELLED, 0);
}

/* Takes every request of `file` (or of `device`, or all when both are NULL)
 * off both queues onto `done`, freeing their notes. */
static void take_requests(PFILE_OBJECT file, PDEVICE_OBJECT device, LIST_ENTRY* done) {
  LIST_ENTRY* lists[2];
  int i;
  lists[0] = &outbox;
  lists[1] = &waiting;
  for (i = 0; i < 2; ++i) {
    LIST_ENTRY* entry = lists[i]->Flink;
    while (entry != lists[i]) {
      Pending* pending = CONTAINING_RECORD(entry, Pending, link);
      PIRP irp = pending->irp;
      entry = entry->Flink;
      if (irp == NULL) {
        if (file == NULL && device == NULL) {
          RemoveEntryList(&pending->link);
          ExFreePoolWithTag(pending, VELK_TAG);
        }
        continue;
      }
      if ((file != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject != file) ||
          (device != NULL && pending->device != device)) {
        continue;
      }
      if (IoSetCancelRoutine(irp, NULL) == NULL) continue; /* its cancel routine has it */
      RemoveEntryList(&pending->link);
      ExFreePoolWithTag(pending, VELK_TAG);
      InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    }
  }
}

static void end_requests(PFILE_OBJECT file, PDEVICE_OBJECT device, NTSTATUS status) {
  KIRQL irql;
  LIST_ENTRY done;
  InitializeListHead(&done);
  KeAcquireSpinLock(&lock, &irql);
  take_requests(file, device, &done);
  KeReleaseSpinLock(&lock, irql);
  complete_all(&done, status);
}

/* velk-emu.exe went away: every request it held ends, later ones fail. */
static void disconnect_server(PFILE_OBJECT file) {
  KIRQL irql;
  LIST_ENTRY done, exchanges_done;
  InitializeListHead(&done);
  InitializeListHead(&exchanges_done);
  KeAcquireSpinLock(&lock, &irql);
  if (server == file) {
    server = NULL;
    take_requests(NULL, NULL, &done);
    while (!IsListEmpty(&exchanges)) {
      /* Ended here whether or not a cancel routine runs: it only ends those it finds. */
      PIRP exchange = CONTAINING_RECORD(RemoveHeadList(&exchanges), IRP, Tail.Overlay.ListEntry);
      IoSetCancelRoutine(exchange, NULL);
      InsertTailList(&exchanges_done, &exchange->Tail.Overlay.ListEntry);
    }
  }
  KeReleaseSpinLock(&lock, irql);
  complete_all(&done, STATUS_DEVICE_NOT_CONNECTED);
  complete_all(&exchanges_done, STATUS_CANCELLED);
}

static NTSTATUS take_answer(const UCHAR* in, ULONG length) {
  KIRQL irql;
  LIST_ENTRY* entry;
  Pending* found = NULL;
  PIRP irp;
  ULONG64 request;
  NTSTATUS status;
  ULONG information;
  ULONG data_size;
  PIO_STACK_LOCATION client;
  if (length < VELK_ANS_HEADER) return STATUS_INVALID_PARAMETER;
  request = get_u64(in + VELK_ANS_REQUEST);
  status = (NTSTATUS)get_u32(in + VELK_ANS_STATUS);
  information = get_u32(in + VELK_ANS_INFORMATION);
  data_size = length - VELK_ANS_HEADER;
  KeAcquireSpinLock(&lock, &irql);
  for (entry = waiting.Flink; entry != &waiting; entry = entry->Flink) {
    Pending* pending = CONTAINING_RECORD(entry, Pending, link);
    if (pending->request == request) {
      if (IoSetCancelRoutine(pending->irp, NULL) != NULL) {
        RemoveEntryList(&pending->link);
        found = pending;
      }
      break;
    }
  }
  KeReleaseSpinLock(&lock, irql);
  if (found == NULL) return STATUS_NOT_FOUND;
  irp = found->irp;
  client = IoGetCurrentIrpStackLocation(irp);
  if (found->kind == VELK_KIND_READ || found->kind == VELK_KIND_CONTROL) {
    ULONG room = found->room;
    if (information > room) information = room;
    if (information > data_size) information = data_size;
    if (information != 0 && system_buffer(irp) != NULL) {
      RtlCopyMemory(system_buffer(irp), in + VELK_ANS_HEADER, information);
    }
  } else if (found->kind == VELK_KIND_WRITE && information > client->Parameters.Write.Length) {
    information = client->Parameters.Write.Length;
  }
  ExFreePoolWithTag(found, VELK_TAG);
  complete(irp, status, information);
  return STATUS_SUCCESS;
}

static NTSTATUS bridge_control(PIRP irp, PIO_STACK_LOCATION stack) {
  KIRQL irql;
  LIST_ENTRY done, cancelled;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if (stack->Parameters.DeviceIoControl.IoControlCode != VELK_BRIDGE_IOCTL_EXCHANGE) {
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (in_length != 0) status = take_answer(system_buffer(irp), in_length);
  if (out_length == 0) return complete(irp, status, 0);

  InitializeListHead(&done);
  InitializeListHead(&cancelled);
  KeAcquireSpinLock(&lock, &irql);
  if (server != NULL && server != stack->FileObject) {
    KeReleaseSpinLock(&lock, irql);
    return complete(irp, STATUS_SHARING_VIOLATION, 0);
  }
  server = stack->FileObject;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, cancel_exchange);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    KeReleaseSpinLock(&lock, irql);
    complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  InsertTailList(&exchanges, &irp->Tail.Overlay.ListEntry);
  deliver(&done, &cancelled);
  KeReleaseSpinLock(&lock, irql);
  finish_delivery(&done, &cancelled);
  return STATUS_PENDING;
}

/* A write, read or control request on an instrument: queued for velk-emu.exe. */
static NTSTATUS pass_on(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack, ULONG kind) {
  Instrument* instrument = device->DeviceExtension;
  KIRQL irql;
  LIST_ENTRY done, cancelled;
  Pending* pending;
  ULONG size = 0;
  if (kind == VELK_KIND_WRITE) size = stack->Parameters.Write.Length;
  if (kind == VELK_KIND_CONTROL) size = stack->Parameters.DeviceIoControl.InputBufferLength;
  if (size > VELK_BRIDGE_MAX_DATA) return complete(irp, STATUS_INVALID_PARAMETER, 0);
  pending = ExAllocatePoolWithTag(NonPagedPool, sizeof(Pending), VELK_TAG);
  if (pending == NULL) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  RtlZeroMemory(pending, sizeof(Pending));
  pending->kind = kind;
  pending->instrument = instrument->number;
  pending->handle = (ULONG64)(ULONG_PTR)stack->FileObject;
  pending->device = device;
  pending->irp = irp;
  if (kind == VELK_KIND_READ) pending->room = stack->Parameters.Read.Length;
  if (kind == VELK_KIND_CONTROL) {
    pending->code = stack->Parameters.DeviceIoControl.IoControlCode;
    pending->room = stack->Parameters.DeviceIoControl.OutputBufferLength;
  }
  InitializeListHead(&done);
  InitializeListHead(&cancelled);
  KeAcquireSpinLock(&lock, &irql);
  if (server == NULL) {
    KeReleaseSpinLock(&lock, irql);
    ExFreePoolWithTag(pending, VELK_TAG);
    return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  pending->request = ++last_request;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, cancel_client);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    KeReleaseSpinLock(&lock, irql);
    ExFreePoolWithTag(pending, VELK_TAG);
    complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  InsertTailList(&outbox, &pending->link);
  deliver(&done, &cancelled);
  KeReleaseSpinLock(&lock, irql);
  finish_delivery(&done, &cancelled);
  return STATUS_PENDING;
}

static NTSTATUS NTAPI forward_and_continue(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  (void)irp;
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends `irp` down and waits for the device below to finish it. */
static NTSTATUS forward_and_wait(Instrument* instrument, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, forward_and_continue, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(instrument->lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  }
  return irp->IoStatus.Status;
}

static NTSTATUS forward(Instrument* instrument, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(instrument->lower, irp);
}

static NTSTATUS instrument_pnp(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack) {
  Instrument* instrument = device->DeviceExtension;
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = forward_and_wait(instrument, irp);
      if (NT_SUCCESS(status) && instrument->interface_link.Buffer != NULL) {
        IoSetDeviceInterfaceState(&instrument->interface_link, TRUE);
      }
      return complete(irp, status, irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
      if (instrument->interface_link.Buffer != NULL) {
        IoSetDeviceInterfaceState(&instrument->interface_link, FALSE);
      }
      end_requests(NULL, device, STATUS_DEVICE_NOT_CONNECTED);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return forward(instrument, irp);
    case IRP_MN_REMOVE_DEVICE:
      if (instrument->interface_link.Buffer != NULL) {
        IoSetDeviceInterfaceState(&instrument->interface_link, FALSE);
        RtlFreeUnicodeString(&instrument->interface_link);
      }
      end_requests(NULL, device, STATUS_DEVICE_NOT_CONNECTED);
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = forward(instrument, irp);
      IoDetachDevice(instrument->lower);
      IoDeleteDevice(device);
      return status;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return forward(instrument, irp);
    default:
      return forward(instrument, irp);
  }
}

static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Instrument* instrument;
  if (device == bridge_device) {
    switch (stack->MajorFunction) {
      case IRP_MJ_DEVICE_CONTROL: return bridge_control(irp, stack);
      case IRP_MJ_CLOSE:
        disconnect_server(stack->FileObject);
        return complete(irp, STATUS_SUCCESS, 0);
      case IRP_MJ_CREATE:
      case IRP_MJ_CLEANUP: return complete(irp, STATUS_SUCCESS, 0);
      default: return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
  }
  instrument = device->DeviceExtension;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      /* The open itself always succeeds: velk-emu.exe decides whether this
       * handle may use the instrument and refuses its requests if not. */
      queue_notice(new_notice(VELK_KIND_OPEN, instrument->number,
                              (ULONG64)(ULONG_PTR)stack->FileObject, 0));
      return complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
      end_requests(stack->FileObject, NULL, STATUS_CANCELLED);
      return complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
      /* Some systems send no cleanup first: held reads end here at the latest. */
      end_requests(stack->FileObject, NULL, STATUS_CANCELLED);
      queue_notice(new_notice(VELK_KIND_CLOSE, instrument->number,
                              (ULONG64)(ULONG_PTR)stack->FileObject, 0));
      return complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_WRITE: return pass_on(device, irp, stack, VELK_KIND_WRITE);
    case IRP_MJ_READ: return pass_on(device, irp, stack, VELK_KIND_READ);
    case IRP_MJ_DEVICE_CONTROL: return pass_on(device, irp, stack, VELK_KIND_CONTROL);
    case IRP_MJ_PNP: return instrument_pnp(device, irp, stack);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(instrument->lower, irp);
    default: return forward(instrument, irp);
  }
}

/* The instrument's number, from the device's registry key. */
static ULONG read_instrument_number(PDEVICE_OBJECT pdo) {
  HANDLE key;
  UNICODE_STRING name;
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  KEY_VALUE_PARTIAL_INFORMATION* value = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
  ULONG length = 0;
  ULONG number = VELK_BRIDGE_NO_INSTRUMENT;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
    return number;
  }
  RtlInitUnicodeString(&name, VELK_BRIDGE_INSTRUMENT_VALUE);
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, value, sizeof(buffer),
                                 &length)) &&
      value->Type == REG_DWORD && value->DataLength == sizeof(ULONG)) {
    number = get_u32(value->Data);
  }
  ZwClose(key);
  return number;
}

static NTSTATUS NTAPI add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  Instrument* instrument;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Instrument), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, TRUE, &device);
  if (!NT_SUCCESS(status)) return status;
  instrument = device->DeviceExtension;
  RtlZeroMemory(instrument, sizeof(Instrument));
  instrument->number = read_instrument_number(pdo);
  status = IoRegisterDeviceInterface(pdo, &instrument_class, NULL, &instrument->interface_link);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  instrument->lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (instrument->lower == NULL) {
    RtlFreeUnicodeString(&instrument->interface_link);
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void NTAPI unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  (void)driver;
  RtlInitUnicodeString(&link, VELK_BRIDGE_LINK);
  IoDeleteSymbolicLink(&link);
  if (bridge_device != NULL) IoDeleteDevice(bridge_device);
  bridge_device = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  UNICODE_STRING name, link;
  NTSTATUS status;
  int major;
  (void)registry_path;
  KeInitializeSpinLock(&lock);
  InitializeListHead(&outbox);
  InitializeListHead(&waiting);
  InitializeListHead(&exchanges);
  RtlInitUnicodeString(&name, VELK_BRIDGE_DEVICE);
  RtlInitUnicodeString(&link, VELK_BRIDGE_LINK);
  status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &bridge_device);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(bridge_device);
    bridge_device = NULL;
    return status;
  }
  bridge_device->Flags |= DO_BUFFERED_IO;
  bridge_device->Flags &= ~DO_DEVICE_INITIALIZING;
  for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = dispatch;
  driver->DriverExtension->AddDevice = add_device;
  driver->DriverUnload = unload;
  return STATUS_SUCCESS;
}
