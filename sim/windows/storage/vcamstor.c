/* The virtual camcorder's storage driver for Windows test prefixes under Wine
   (vcamstor.sys): one device and link per camera, named as the camera's
   "DevSymLink" says, answering control code 0x222403 as a camera's storage
   driver does. It is a relay: each exchange is copied, queued and handed to
   the user-mode service attached to the control device, and completed with
   that service's answer. The driver never waits (Wine's driver host serves
   one request at a time, so whatever waits is pended) and never opens a file.

   A test stand-in only: never installed outside a test prefix.

   Wine 8 sends no IRP_MJ_CLEANUP: a handle's pending exchanges are completed
   on IRP_MJ_CLOSE. */
#include <ntddk.h>

#include "protocol.h"

#define POOL_TAG 0x72745356u /* "VStr" */

/* Exported by ntoskrnl; the headers leave it to the file-system kit. */
NTKERNELAPI PEPROCESS NTAPI IoGetRequestorProcess(PIRP Irp);

enum device_kind { CONTROL_DEVICE = 1, CAMERA_DEVICE = 2 };

typedef struct device_extension {
  ULONG kind;
  ULONG index;
} device_extension;

typedef struct exchange {
  LIST_ENTRY entry;
  PIRP irp;             /* the sender's, pending; NULL once its handle closed */
  PFILE_OBJECT sender;  /* the sender's handle */
  PFILE_OBJECT server;  /* the service handle that took it, NULL while queued */
  ULONG id;
  ULONG camera;
  ULONG process;
  ULONG inputLength;
  ULONG outputLength;
  UCHAR* input;         /* our copy of the frame */
} exchange;

typedef struct camera_slot {
  PDEVICE_OBJECT device;
  WCHAR link[VCAMSTOR_LINK_CHARS];
  WCHAR folder[VCAMSTOR_FOLDER_CHARS];
} camera_slot;

#define MAX_SERVERS 8

static KSPIN_LOCK g_lock;
static LIST_ENTRY g_queued;   /* exchanges no service has taken */
static LIST_ENTRY g_taken;    /* exchanges a service is answering */
static LIST_ENTRY g_waiting;  /* the services' pending NEXT_REQUEST IRPs (Tail.Overlay.ListEntry) */
static PFILE_OBJECT g_servers[MAX_SERVERS];
static ULONG g_next_id = 1;
static camera_slot g_cameras[VCAMSTOR_MAX_CAMERAS];
static PDEVICE_OBJECT g_control;
static ULONG g_device_serial;

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static SIZE_T wide_length(const WCHAR* text, SIZE_T limit) {
  SIZE_T n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

static BOOLEAN is_server(PFILE_OBJECT file) {
  for (ULONG i = 0; i < MAX_SERVERS; ++i)
    if (g_servers[i] == file) return TRUE;
  return FALSE;
}

static BOOLEAN any_server(void) {
  for (ULONG i = 0; i < MAX_SERVERS; ++i)
    if (g_servers[i] != NULL) return TRUE;
  return FALSE;
}

static void free_exchange(exchange* x) {
  if (x->input != NULL) ExFreePoolWithTag(x->input, POOL_TAG);
  ExFreePoolWithTag(x, POOL_TAG);
}

/* Fills a service's NEXT_REQUEST buffer with the exchange; the whole input
   follows the header when it fits, else the service fetches it. Called with
   the lock held; the caller completes the IRP. */
static ULONG_PTR hand_over(PIRP server_irp, exchange* x) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(server_irp);
  const ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
  vcamstor_request* request = (vcamstor_request*)server_irp->UserBuffer;
  RtlZeroMemory(request, sizeof *request);
  request->id = x->id;
  request->camera = x->camera;
  request->process = x->process;
  request->inputLength = x->inputLength;
  request->outputLength = x->outputLength;
  RtlCopyMemory(request->folder, g_cameras[x->camera].folder, sizeof request->folder);
  if (room - sizeof *request >= x->inputLength) {
    request->copied = x->inputLength;
    RtlCopyMemory((UCHAR*)server_irp->UserBuffer + sizeof *request, x->input, x->inputLength);
  }
  x->server = IoGetCurrentIrpStackLocation(server_irp)->FileObject;
  InsertTailList(&g_taken, &x->entry);
  return sizeof *request + request->copied;
}

static exchange* find_taken(ULONG id) {
  for (PLIST_ENTRY e = g_taken.Flink; e != &g_taken; e = e->Flink) {
    exchange* x = CONTAINING_RECORD(e, exchange, entry);
    if (x->id == id) return x;
  }
  return NULL;
}

/* Moves the exchanges of `from` that `matches` picks to `to`. Called with
   the lock held. */
typedef BOOLEAN (*exchange_filter)(const exchange* x, const void* key);
static void move_exchanges(LIST_ENTRY* from, LIST_ENTRY* to, exchange_filter matches, const void* key) {
  for (PLIST_ENTRY e = from->Flink; e != from;) {
    exchange* x = CONTAINING_RECORD(e, exchange, entry);
    e = e->Flink;
    if (!matches(x, key)) continue;
    RemoveEntryList(&x->entry);
    InsertTailList(to, &x->entry);
  }
}

static BOOLEAN of_camera(const exchange* x, const void* key) { return x->camera == *(const ULONG*)key; }
static BOOLEAN of_sender(const exchange* x, const void* key) { return x->sender == (PFILE_OBJECT)key; }
static BOOLEAN of_server(const exchange* x, const void* key) { return x->server == (PFILE_OBJECT)key; }

/* Ends every exchange of `list` (taken out of the lock) with `status`. */
static void end_exchanges(LIST_ENTRY* list, NTSTATUS status) {
  while (!IsListEmpty(list)) {
    exchange* x = CONTAINING_RECORD(RemoveHeadList(list), exchange, entry);
    if (x->irp != NULL) complete(x->irp, status, 0);
    free_exchange(x);
  }
}

/* The slot of the camera behind `link` (letter case ignored), or
   VCAMSTOR_MAX_CAMERAS. */
static ULONG find_camera(const WCHAR* link) {
  UNICODE_STRING wanted;
  RtlInitUnicodeString(&wanted, link);
  for (ULONG i = 0; i < VCAMSTOR_MAX_CAMERAS; ++i) {
    if (g_cameras[i].device == NULL) continue;
    UNICODE_STRING known;
    RtlInitUnicodeString(&known, g_cameras[i].link);
    if (RtlEqualUnicodeString(&known, &wanted, TRUE)) return i;
  }
  return VCAMSTOR_MAX_CAMERAS;
}

/* The sender's exchange: copied and queued, or handed straight to a waiting
   service. */
static NTSTATUS storage_exchange(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack) {
  const device_extension* ext = (const device_extension*)device->DeviceExtension;
  const ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const void* input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
  if (input == NULL || irp->UserBuffer == NULL || in_length == 0 || out_length == 0 ||
      in_length > VCAMSTOR_MAX_EXCHANGE || out_length > VCAMSTOR_MAX_EXCHANGE)
    return complete(irp, STATUS_INVALID_PARAMETER, 0);

  exchange* x = (exchange*)ExAllocatePoolWithTag(NonPagedPool, sizeof *x, POOL_TAG);
  if (x == NULL) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  RtlZeroMemory(x, sizeof *x);
  x->input = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, in_length, POOL_TAG);
  if (x->input == NULL) {
    free_exchange(x);
    return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  RtlCopyMemory(x->input, input, in_length);
  x->irp = irp;
  x->sender = stack->FileObject;
  x->camera = ext->index;
  x->inputLength = in_length;
  x->outputLength = out_length;
  PEPROCESS process = IoGetRequestorProcess(irp);
  x->process = process != NULL ? (ULONG)(ULONG_PTR)PsGetProcessId(process) : 0;

  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  if (g_cameras[ext->index].device != device) {
    KeReleaseSpinLock(&g_lock, irql);
    free_exchange(x);
    return complete(irp, STATUS_DEVICE_REMOVED, 0);
  }
  if (!any_server()) {
    KeReleaseSpinLock(&g_lock, irql);
    free_exchange(x);
    return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  x->id = g_next_id++;
  if (g_next_id == 0) g_next_id = 1;
  IoMarkIrpPending(irp);
  PIRP server_irp = NULL;
  ULONG_PTR handed = 0;
  if (!IsListEmpty(&g_waiting)) {
    PLIST_ENTRY e = RemoveHeadList(&g_waiting);
    server_irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    handed = hand_over(server_irp, x);
  } else {
    InsertTailList(&g_queued, &x->entry);
  }
  KeReleaseSpinLock(&g_lock, irql);
  if (server_irp != NULL) complete(server_irp, STATUS_SUCCESS, handed);
  return STATUS_PENDING;
}

static NTSTATUS add_camera(PIRP irp, PIO_STACK_LOCATION stack) {
  const vcamstor_camera* camera = (const vcamstor_camera*)stack->Parameters.DeviceIoControl.Type3InputBuffer;
  if (camera == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof *camera ||
      irp->UserBuffer == NULL || stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  const SIZE_T link_chars = wide_length((const WCHAR*)camera->link, VCAMSTOR_LINK_CHARS);
  const SIZE_T folder_chars = wide_length((const WCHAR*)camera->folder, VCAMSTOR_FOLDER_CHARS);
  if (link_chars < 5 || link_chars == VCAMSTOR_LINK_CHARS || folder_chars == 0 || folder_chars == VCAMSTOR_FOLDER_CHARS)
    return complete(irp, STATUS_INVALID_PARAMETER, 0);

  /* Adding a link again keeps its device and takes the new folder. */
  const ULONG known = find_camera((const WCHAR*)camera->link);
  if (known != VCAMSTOR_MAX_CAMERAS) {
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    RtlCopyMemory(g_cameras[known].folder, camera->folder, sizeof g_cameras[known].folder);
    KeReleaseSpinLock(&g_lock, irql);
    *(ULONG*)irp->UserBuffer = known;
    return complete(irp, STATUS_SUCCESS, sizeof(ULONG));
  }
  ULONG free_slot = 0;
  while (free_slot < VCAMSTOR_MAX_CAMERAS && g_cameras[free_slot].device != NULL) ++free_slot;
  if (free_slot == VCAMSTOR_MAX_CAMERAS) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);

  /* Devices of removed cameras live on until unload (a handle may still be
     open on one), so every device gets a name of its own. */
  WCHAR name_text[40] = L"\\Device\\VcamStor";
  SIZE_T at = wide_length(name_text, 40);
  WCHAR digits[12];
  SIZE_T count = 0;
  for (ULONG serial = ++g_device_serial; serial != 0 || count == 0; serial /= 10)
    digits[count++] = (WCHAR)(L'0' + serial % 10);
  while (count > 0) name_text[at++] = digits[--count];
  name_text[at] = 0;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, name_text);
  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = IoCreateDevice(g_control->DriverObject, sizeof(device_extension), &name, FILE_DEVICE_UNKNOWN,
                                   0, FALSE, &device);
  if (!NT_SUCCESS(status)) return complete(irp, status, 0);
  device_extension* ext = (device_extension*)device->DeviceExtension;
  ext->kind = CAMERA_DEVICE;
  ext->index = free_slot;
  camera_slot* slot = &g_cameras[free_slot];
  RtlCopyMemory(slot->link, camera->link, sizeof slot->link);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, slot->link);
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    RtlZeroMemory(slot, sizeof *slot);
    return complete(irp, status, 0);
  }
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  RtlCopyMemory(slot->folder, camera->folder, sizeof slot->folder);
  slot->device = device;
  KeReleaseSpinLock(&g_lock, irql);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  *(ULONG*)irp->UserBuffer = free_slot;
  return complete(irp, STATUS_SUCCESS, sizeof(ULONG));
}

/* Removes a camera's link and device; its queued exchanges fail as an
   unplugged camera's do, and later ones on open handles find no device. */
static NTSTATUS remove_camera(PIRP irp, PIO_STACK_LOCATION stack) {
  const vcamstor_camera* camera = (const vcamstor_camera*)stack->Parameters.DeviceIoControl.Type3InputBuffer;
  if (camera == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof camera->link)
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  if (wide_length((const WCHAR*)camera->link, VCAMSTOR_LINK_CHARS) == VCAMSTOR_LINK_CHARS)
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  const ULONG index = find_camera((const WCHAR*)camera->link);
  if (index == VCAMSTOR_MAX_CAMERAS) return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, g_cameras[index].link);
  IoDeleteSymbolicLink(&link);
  LIST_ENTRY failed;
  InitializeListHead(&failed);
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  g_cameras[index].device = NULL; /* its device lives on until unload: open handles may name it */
  move_exchanges(&g_queued, &failed, of_camera, &index);
  KeReleaseSpinLock(&g_lock, irql);
  end_exchanges(&failed, STATUS_DEVICE_REMOVED);
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS attach(PIRP irp, PIO_STACK_LOCATION stack) {
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (is_server(stack->FileObject)) {
    status = STATUS_SUCCESS;
  } else {
    for (ULONG i = 0; i < MAX_SERVERS; ++i) {
      if (g_servers[i] == NULL) {
        g_servers[i] = stack->FileObject;
        status = STATUS_SUCCESS;
        break;
      }
    }
  }
  KeReleaseSpinLock(&g_lock, irql);
  return complete(irp, status, 0);
}

static NTSTATUS next_request(PIRP irp, PIO_STACK_LOCATION stack) {
  if (irp->UserBuffer == NULL || stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(vcamstor_request))
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  if (!is_server(stack->FileObject)) {
    KeReleaseSpinLock(&g_lock, irql);
    return complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
  }
  if (!IsListEmpty(&g_queued)) {
    exchange* x = CONTAINING_RECORD(RemoveHeadList(&g_queued), exchange, entry);
    const ULONG_PTR handed = hand_over(irp, x);
    KeReleaseSpinLock(&g_lock, irql);
    return complete(irp, STATUS_SUCCESS, handed);
  }
  IoMarkIrpPending(irp);
  InsertTailList(&g_waiting, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&g_lock, irql);
  return STATUS_PENDING;
}

static NTSTATUS fetch(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG* id = (const ULONG*)stack->Parameters.DeviceIoControl.Type3InputBuffer;
  if (id == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) || irp->UserBuffer == NULL)
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  exchange* x = find_taken(*id);
  if (x == NULL || x->server != stack->FileObject) {
    KeReleaseSpinLock(&g_lock, irql);
    return complete(irp, STATUS_NOT_FOUND, 0);
  }
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < x->inputLength) {
    KeReleaseSpinLock(&g_lock, irql);
    return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  }
  RtlCopyMemory(irp->UserBuffer, x->input, x->inputLength);
  const ULONG copied = x->inputLength;
  KeReleaseSpinLock(&g_lock, irql);
  return complete(irp, STATUS_SUCCESS, copied);
}

/* The service's answer completes the sender's exchange: the output is never
   longer than what the sender can take back. */
static NTSTATUS answer(PIRP irp, PIO_STACK_LOCATION stack) {
  const vcamstor_answer* a = (const vcamstor_answer*)stack->Parameters.DeviceIoControl.Type3InputBuffer;
  const ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  if (a == NULL || in_length < sizeof *a || a->length > in_length - sizeof *a)
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  exchange* x = find_taken(a->id);
  if (x == NULL || x->server != stack->FileObject) {
    KeReleaseSpinLock(&g_lock, irql);
    return complete(irp, STATUS_NOT_FOUND, 0);
  }
  RemoveEntryList(&x->entry);
  PIRP sender = x->irp;
  x->irp = NULL;
  KeReleaseSpinLock(&g_lock, irql);
  if (sender != NULL) {
    ULONG length = 0;
    if (NT_SUCCESS(a->status)) {
      length = a->length < x->outputLength ? a->length : x->outputLength;
      RtlCopyMemory(sender->UserBuffer, (const UCHAR*)(a + 1), length);
    }
    complete(sender, a->status, length);
  }
  free_exchange(x);
  return complete(irp, STATUS_SUCCESS, 0);
}

/* A handle closes: a sender's exchanges end cancelled (a service still
   answering one drops its answer); a service's pending requests end, and
   what it had taken fails as a removed device's would. */
static NTSTATUS close_handle(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack) {
  const device_extension* ext = (const device_extension*)device->DeviceExtension;
  PFILE_OBJECT file = stack->FileObject;
  LIST_ENTRY done_exchanges, done_irps;
  InitializeListHead(&done_exchanges);
  InitializeListHead(&done_irps);
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  if (ext->kind == CAMERA_DEVICE) {
    move_exchanges(&g_queued, &done_exchanges, of_sender, file);
    for (PLIST_ENTRY e = g_taken.Flink; e != &g_taken; e = e->Flink) {
      exchange* x = CONTAINING_RECORD(e, exchange, entry);
      if (x->sender == file && x->irp != NULL) {
        complete(x->irp, STATUS_CANCELLED, 0);
        x->irp = NULL;
      }
    }
  } else {
    for (ULONG i = 0; i < MAX_SERVERS; ++i)
      if (g_servers[i] == file) g_servers[i] = NULL;
    for (PLIST_ENTRY e = g_waiting.Flink; e != &g_waiting;) {
      PIRP waiting = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
      e = e->Flink;
      if (IoGetCurrentIrpStackLocation(waiting)->FileObject != file) continue;
      RemoveEntryList(&waiting->Tail.Overlay.ListEntry);
      InsertTailList(&done_irps, &waiting->Tail.Overlay.ListEntry);
    }
    move_exchanges(&g_taken, &done_exchanges, of_server, file);
    /* The last service gone: nobody will answer what is queued. */
    if (!any_server()) {
      while (!IsListEmpty(&g_queued)) InsertTailList(&done_exchanges, RemoveHeadList(&g_queued));
    }
  }
  KeReleaseSpinLock(&g_lock, irql);
  end_exchanges(&done_exchanges, ext->kind == CAMERA_DEVICE ? STATUS_CANCELLED : STATUS_DEVICE_REMOVED);
  while (!IsListEmpty(&done_irps)) {
    PIRP waiting = CONTAINING_RECORD(RemoveHeadList(&done_irps), IRP, Tail.Overlay.ListEntry);
    complete(waiting, STATUS_CANCELLED, 0);
  }
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS dispatch_create(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS dispatch_close(PDEVICE_OBJECT device, PIRP irp) {
  return close_handle(device, irp, IoGetCurrentIrpStackLocation(irp));
}

static NTSTATUS dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const device_extension* ext = (const device_extension*)device->DeviceExtension;
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (ext->kind == CAMERA_DEVICE) {
    if (code == VCAMSTOR_STORAGE_CODE) return storage_exchange(device, irp, stack);
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  switch (code) {
    case VCAMSTOR_ADD_CAMERA: return add_camera(irp, stack);
    case VCAMSTOR_REMOVE_CAMERA: return remove_camera(irp, stack);
    case VCAMSTOR_ATTACH: return attach(irp, stack);
    case VCAMSTOR_NEXT_REQUEST: return next_request(irp, stack);
    case VCAMSTOR_FETCH: return fetch(irp, stack);
    case VCAMSTOR_ANSWER: return answer(irp, stack);
    default: return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static void unload(PDRIVER_OBJECT driver) {
  for (ULONG i = 0; i < VCAMSTOR_MAX_CAMERAS; ++i) {
    if (g_cameras[i].device == NULL) continue;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, g_cameras[i].link);
    IoDeleteSymbolicLink(&link);
  }
  UNICODE_STRING control_link;
  RtlInitUnicodeString(&control_link, VCAMSTOR_CONTROL_LINK);
  IoDeleteSymbolicLink(&control_link);
  while (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  (void)registry_path;
  KeInitializeSpinLock(&g_lock);
  InitializeListHead(&g_queued);
  InitializeListHead(&g_taken);
  InitializeListHead(&g_waiting);
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, VCAMSTOR_CONTROL_DEVICE);
  RtlInitUnicodeString(&link, VCAMSTOR_CONTROL_LINK);
  NTSTATUS status = IoCreateDevice(driver, sizeof(device_extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_control);
  if (!NT_SUCCESS(status)) return status;
  ((device_extension*)g_control->DeviceExtension)->kind = CONTROL_DEVICE;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(g_control);
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
  driver->DriverUnload = unload;
  g_control->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
