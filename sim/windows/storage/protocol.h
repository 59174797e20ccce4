/* The virtual storage driver's private protocol between its kernel part
   (vcamstor.sys, which Wine's driver host loads) and the user-mode service
   that answers for it (vcamstor_service.exe, the virtual camcorder's Windows
   build). Plain C: the driver is built without the C++ runtime.

   A program opens a camera's link ("\\?\vcamstor#...", from "DevSymLink")
   and sends storage frames under control code 0x222403. The driver queues
   each exchange and hands it to the service, which keeps requests pending on
   the control device ("\\.\VcamStorControl") and answers them: an inverted
   call, so the driver itself never waits and never touches a file. */
#ifndef VCAMSTOR_PROTOCOL_H
#define VCAMSTOR_PROTOCOL_H

#define VCAMSTOR_CONTROL_DEVICE L"\\Device\\VcamStorControl"
#define VCAMSTOR_CONTROL_LINK L"\\??\\VcamStorControl"
#define VCAMSTOR_CONTROL_PATH L"\\\\.\\VcamStorControl"

/* CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_NEITHER, FILE_ANY_ACCESS) */
#define VCAMSTOR_CODE(function) ((0x22u << 16) | ((unsigned)(function) << 2) | 3u)
#define VCAMSTOR_STORAGE_CODE 0x222403u /* the camera's storage frames */
#define VCAMSTOR_ADD_CAMERA VCAMSTOR_CODE(0xA00)    /* in: vcamstor_camera; out: 4-byte index */
#define VCAMSTOR_REMOVE_CAMERA VCAMSTOR_CODE(0xA01) /* in: vcamstor_camera (link only) */
#define VCAMSTOR_ATTACH VCAMSTOR_CODE(0xA02)        /* this handle serves requests */
#define VCAMSTOR_NEXT_REQUEST VCAMSTOR_CODE(0xA03)  /* out: vcamstor_request, then its input */
#define VCAMSTOR_FETCH VCAMSTOR_CODE(0xA04)         /* in: 4-byte id; out: the whole input */
#define VCAMSTOR_ANSWER VCAMSTOR_CODE(0xA05)        /* in: vcamstor_answer, then the output */

#define VCAMSTOR_MAX_CAMERAS 64
#define VCAMSTOR_LINK_CHARS 200   /* "\??\vcamstor#..." with its NUL */
#define VCAMSTOR_FOLDER_CHARS 520 /* the camera's state directory with its NUL */
/* The largest exchange: a frame and a data area of 64 MiB beside it. */
#define VCAMSTOR_MAX_EXCHANGE (64u * 1024u * 1024u + 512u)

typedef struct vcamstor_camera {
  unsigned short link[VCAMSTOR_LINK_CHARS];     /* NUL-terminated UTF-16 */
  unsigned short folder[VCAMSTOR_FOLDER_CHARS]; /* NUL-terminated UTF-16 */
} vcamstor_camera;

typedef struct vcamstor_request {
  unsigned int id;
  unsigned int camera;       /* index given by VCAMSTOR_ADD_CAMERA */
  unsigned int process;      /* the sender's process id (for a 32-bit data address) */
  unsigned int inputLength;  /* bytes the sender gave */
  unsigned int outputLength; /* bytes the sender can take back */
  unsigned int copied;       /* input bytes that follow this header (all, or 0: fetch them) */
  unsigned short folder[VCAMSTOR_FOLDER_CHARS];
} vcamstor_request;

typedef struct vcamstor_answer {
  unsigned int id;
  int status;          /* NTSTATUS of the exchange */
  unsigned int length; /* output bytes that follow */
  unsigned int reserved;
} vcamstor_answer;

#endif
