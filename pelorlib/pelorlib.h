/*
 * pelorlib: the HSM client library contract.
 *
 * The service reaches the HSM only through these twelve calls. The header
 * fixes their names, argument order, record layouts and result codes, so
 * that our stand-in client (pelorlib.cpp, which talks to hsm-emulator) and
 * the HSM maker's own library are interchangeable without touching the
 * service.
 *
 * Conventions
 *  - Strings are narrow and NUL-terminated. A string that does not fit its
 *    field together with its terminator is refused with KV_ERR_BAD_ARGUMENT
 *    before any network traffic.
 *  - Every call returns a 32-bit code; KV_OK (0) means success.
 *  - KvInitialize must have been called before a session is opened, and
 *    KvFinalize ends that use (calls nest: each KvInitialize is matched by
 *    one KvFinalize). The library holds no other process-wide state.
 *  - A session may be used from any thread. Calls on one session are
 *    serialised by the library; calls on different sessions run in parallel.
 *    REQUIRES: no call on a session is in progress when it is closed.
 */
#ifndef PELORLIB_H
#define PELORLIB_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(PELORLIB_BUILDING)
#    define PELORLIB_API __declspec(dllexport)
#  else
#    define PELORLIB_API __declspec(dllimport)
#  endif
#else
#  define PELORLIB_API __attribute__((visibility("default")))
#endif

/*
 * Calling convention of the twelve calls. Only 32-bit Windows has a choice:
 * the C convention by default, __stdcall when PELORLIB_STDCALL is defined
 * (CMake option KELVASYNC_PELORLIB_STDCALL), to match a maker's DLL built
 * that way. Either way the DLL must export the plain names (KvOpenSession,
 * not _KvOpenSession@20). The callbacks below always use the C convention.
 * Empty on x64 and Linux, which have a single convention.
 */
#if defined(_WIN32) && !defined(_WIN64) && defined(PELORLIB_STDCALL)
#  define PELORLIB_CALL __stdcall
#else
#  define PELORLIB_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ------------------------------------------------------ */

#define KV_OK                      0
/* Codes the HSM itself gives and the service acts upon. */
#define KV_ERR_OBJECT_NOT_FOUND    5004 /* no object of that name */
#define KV_ERR_USER_EXISTS         5013 /* a user with that name exists */
#define KV_ERR_INVALID_USER_ID     5014 /* the HSM refuses the identifier */
/* Codes of our own. */
#define KV_ERR_CONNECTION_REFUSED  5901 /* nothing accepts connections there */
#define KV_ERR_TIMEOUT             5902 /* connect or request exceeded its time-out */
#define KV_ERR_LOGIN_REFUSED       5903 /* unknown user, wrong password or user blocked */
#define KV_ERR_ACCESS_DENIED       5904 /* the session's user may not do this */
#define KV_ERR_BAD_ARGUMENT        5905 /* refused before any network traffic, or by the HSM */
#define KV_ERR_CONNECTION_LOST     5906 /* connection closed or broken; the session is unusable */
#define KV_ERR_NO_SUCH_USER        5907 /* no user of that name */
#define KV_ERR_NOT_INITIALIZED     5908 /* KvInitialize has not been called */
#define KV_ERR_ABORTED             5909 /* a callback returned non-zero */
#define KV_ERR_HOST_UNKNOWN        5910 /* the host name does not resolve */
#define KV_ERR_PROTOCOL            5911 /* the HSM's reply was malformed */
#define KV_ERR_HSM_FAILURE         5912 /* the HSM could not complete the request */
#define KV_ERR_OUT_OF_MEMORY       5913

/* ---- Sizes and constants ----------------------------------------------- */

#define KV_DEFAULT_PORT            4433
#define KV_HOST_FIELD_SIZE         128
#define KV_LOGIN_USER_FIELD_SIZE   16
#define KV_LOGIN_PASSWORD_FIELD_SIZE 16
#define KV_NEW_USER_ID_FIELD_SIZE  17
#define KV_NEW_USER_PASSWORD_FIELD_SIZE 17
#define KV_USER_NAME_MAX           16   /* bytes, without terminator */
#define KV_PASSWORD_MAX            16   /* bytes, without terminator */
#define KV_OBJECT_NAME_FIELD_SIZE  64   /* "name" or "owner/name" */
#define KV_MAX_OBJECT_SIZE         (1024u * 1024u)
#define KV_CHUNK_SIZE              4096u /* bytes per receiver/supplier call */

/* Second argument of KvOpenSession: the channel, a TCP connection. */
#define KV_CHANNEL_TCP             16
/* Last argument of KvOpenSession: log in with user name and password. */
#define KV_LOGIN_PASSWORD          9

/* KvSetUserParam requests. The value is the user's name. */
#define KV_PARAM_BLOCK             0x40
#define KV_PARAM_UNBLOCK           0x80

/* Permission mask bits of a user. */
#define KV_PERM_OBJECT_READ        0x001 /* read own objects */
#define KV_PERM_OBJECT_WRITE       0x002 /* write own objects */
#define KV_PERM_OBJECT_REMOVE      0x004 /* remove and rename own objects */
#define KV_PERM_KEY_USE            0x008 /* use own keys (not emulated) */
#define KV_PERM_OWN_PASSWORD       0x040 /* change own password (not emulated) */
#define KV_PERM_USER_ADMIN         0x100 /* list, create, remove, block users */
#define KV_PERM_OBJECT_ADMIN       0x200 /* every owner's objects */
#define KV_PERM_ADMINISTRATOR      0x34F /* everything above: "master" */

/* Flag given to a KvUserCallback. */
#define KV_LIST_ENTRY              0    /* name is one user */
#define KV_LIST_END                1    /* listing complete; name is NULL */

/* ---- Records ----------------------------------------------------------- */

/*
 * Login data for KvOpenSession; clear it before filling it in.
 * host: a name or address, optionally with ":port" ("[v6addr]:port" for an
 * IPv6 address), which then takes the place of the port field.
 * reserved[0] and reserved[1]: connect and request time-outs in
 * milliseconds, 0 for the defaults (5,000 and 15,000 ms, or the environment
 * variables KELVASYNC_HSM_CONNECT_TIMEOUT_MS and KELVASYNC_HSM_IO_TIMEOUT_MS
 * read by KvInitialize). reserved[2] must be 0.
 */
typedef struct HsmLoginBlock {
  char host[KV_HOST_FIELD_SIZE];
  uint32_t port;
  char user[KV_LOGIN_USER_FIELD_SIZE];
  char password[KV_LOGIN_PASSWORD_FIELD_SIZE];
  uint32_t reserved[3];
} HsmLoginBlock;

/* A user to create; passed by value to KvCreateUser. */
#pragma pack(push, 1)
typedef struct HsmNewUserBlock {
  char userId[KV_NEW_USER_ID_FIELD_SIZE];
  char password[KV_NEW_USER_PASSWORD_FIELD_SIZE];
  uint32_t permissionMask;
} HsmNewUserBlock;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(HsmLoginBlock) == 176, "HsmLoginBlock must be 176 bytes");
static_assert(sizeof(HsmNewUserBlock) == 38, "HsmNewUserBlock must be 38 bytes");
#else
_Static_assert(sizeof(HsmLoginBlock) == 176, "HsmLoginBlock must be 176 bytes");
_Static_assert(sizeof(HsmNewUserBlock) == 38, "HsmNewUserBlock must be 38 bytes");
#endif

typedef struct KvSessionRec* KvSession;

/*
 * Called once per user with KV_LIST_ENTRY, in the HSM's order (the
 * administrator "master" included), then once with KV_LIST_END and a NULL
 * name. A non-zero return stops the listing with KV_ERR_ABORTED.
 */
typedef int32_t (*KvUserCallback)(const char* userName, void* context, int32_t flag);

/*
 * Receives an object in chunks of at most KV_CHUNK_SIZE bytes, in order.
 * The last chunk carries endFlag 1 (an empty object: one call, length 0).
 * Chunks are delivered only after the whole object has arrived, so a read
 * that fails delivers nothing. A non-zero return stops with KV_ERR_ABORTED.
 */
typedef int32_t (*KvReceiver)(const uint8_t* chunk, uint32_t chunkLength, void* context,
                              int32_t endFlag);

/*
 * Supplies the bytes of a write. The library asks for the next
 * min(KV_CHUNK_SIZE, bytes still missing) bytes; the supplier copies them
 * to destination and clears *endFlag. It normally leaves *requestedCount as
 * asked (and advances its cursor by it); it may lower it to what it gave.
 * Once all byteCount bytes are in, the library asks once more for 0 bytes,
 * and the supplier sets *endFlag (and may rewind its cursor); the count and
 * any data given with *endFlag set are ignored. A supplier that ends early or not at
 * all makes the write fail with KV_ERR_BAD_ARGUMENT; nothing is written.
 */
typedef int32_t (*KvSupplier)(uint8_t* destination, uint32_t* requestedCount, void* context,
                              int32_t* endFlag);

/* ---- Calls --------------------------------------------------------------- */

/* reserved must be 0. */
PELORLIB_API int32_t PELORLIB_CALL KvInitialize(uint32_t reserved);
PELORLIB_API int32_t PELORLIB_CALL KvFinalize(void);

/* channel KV_CHANNEL_TCP, loginSize sizeof(HsmLoginBlock), loginMode
 * KV_LOGIN_PASSWORD. On success *session holds the new session. */
PELORLIB_API int32_t PELORLIB_CALL KvOpenSession(KvSession* session, uint32_t channel,
                                   const HsmLoginBlock* login, uint32_t loginSize,
                                   uint32_t loginMode);
/* Logs out, frees the session and sets *session to NULL, also when the
 * logout fails (its code is returned then). flags must be 0. */
PELORLIB_API int32_t PELORLIB_CALL KvCloseSession(KvSession* session, uint32_t flags);

PELORLIB_API int32_t PELORLIB_CALL KvListUsers(KvSession session, KvUserCallback callback, void* context);
PELORLIB_API int32_t PELORLIB_CALL KvCreateUser(KvSession session, HsmNewUserBlock newUser);
PELORLIB_API int32_t PELORLIB_CALL KvRemoveUser(KvSession session, const char* userId);
/* param KV_PARAM_BLOCK or KV_PARAM_UNBLOCK; value: the user's name, length
 * bytes without terminator (1 to KV_USER_NAME_MAX); flags must be 0. */
PELORLIB_API int32_t PELORLIB_CALL KvSetUserParam(KvSession session, uint32_t param, const void* value,
                                    uint32_t length, uint32_t flags);

/* Object names: "name" (in the session user's namespace) or "owner/name".
 * An object is open to its owner and to users with KV_PERM_OBJECT_ADMIN. */
PELORLIB_API int32_t PELORLIB_CALL KvReadFile(KvSession session, const char* objectName, KvReceiver receiver,
                                void* context);
/* Creates or replaces the object with exactly byteCount bytes
 * (at most KV_MAX_OBJECT_SIZE). */
PELORLIB_API int32_t PELORLIB_CALL KvWriteFile(KvSession session, const char* objectName, uint32_t byteCount,
                                 KvSupplier supplier, void* context);
PELORLIB_API int32_t PELORLIB_CALL KvRemoveObj(KvSession session, const char* objectName);
/* Both names in the same owner's namespace; an existing object of the new
 * name is replaced. flags must be 0. */
PELORLIB_API int32_t PELORLIB_CALL KvRenameObj(KvSession session, const char* oldName, const char* newName,
                                 uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif /* PELORLIB_H */
