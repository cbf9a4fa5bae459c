/* cpclient: the interface that a custom provider uses to talk to its monitoring agent.
 *
 * Conventions that hold for every function below:
 * - Functions that return int return CP_OK (0) or one of the negative CP_ codes;
 *   vexadllHello is the one exception and returns the interface level.
 * - Strings passed in are copied; the library never keeps a caller's pointer.
 * - Strings handed out are borrowed unless the function says the caller frees them.
 * - Byte strings are NUL-terminated; the two arguments of cpdll_SetAttributeValues
 *   are NUL-terminated UTF-16 (16-bit code units).
 * - Nothing here raises a signal or throws; failures are results.
 *
 * Order of calls: optionally cpdll_setPort; cpdll_OpenConnection; one
 * cpdll_RegisterAttrGroup per attribute group; cpdll_RegistrationComplete; then a
 * loop of cpdll_WaitForRequest, the answers the request needs and
 * cpdll_FreeRequest; finally cpdll_CloseConnection.
 *
 * Threads: the library starts no thread. One thread at a time may wait in
 * cpdll_WaitForRequest; other threads may answer requests and send events while
 * it waits. Answers for one attribute group must not overlap. The open, the close,
 * registration and cpdll_setPort must not run while any other call of the
 * connection runs, with one exception: cpdll_CloseConnection may be called while
 * another thread is blocked in cpdll_WaitForRequest, or keeps calling it; a wait
 * then returns NO_REQUEST (CP_ILLEGAL_STATE once the close is through), and the
 * close returns after the wait that was blocked. vexadllHello and the two
 * configuration lookups may be called at any time from any thread.
 */
#ifndef CPCLIENT_H
#define CPCLIENT_H

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#include <uchar.h>
#endif

#if defined(__GNUC__)
#define CPCLIENT_API __attribute__((visibility("default")))
#else
#define CPCLIENT_API
#endif

/* Result codes. They are never renumbered. */
#define CP_OK 0
#define CP_NO_PORT (-1)        /* no agent port could be found (open) */
#define CP_CONNECT_FAILED (-2) /* the connection to the agent failed (open) */
#define CP_ILLEGAL_STATE (-4)  /* wrong connection state; or a group's registration ran out of memory */
#define CP_WRITE_FAILED (-5)   /* writing the message to the agent failed, or the connection has ended */
#define CP_UNKNOWN_GROUP (-8)  /* the group number names no registered attribute group */
#define CP_ID_NOT_PENDING (-9) /* the request id is not pending */
#define CP_NO_MEMORY (-10)     /* the message buffer has no memory */

/* The interface level that vexadllHello returns. */
#define CP_INTERFACE_LEVEL 1000

/* Kinds of request in CPREQUEST.requestType. */
#define NO_REQUEST                                                                                              \
  0                     /* nothing to answer: shutdown, connection ended, or a stop for a group not registered; \
                           cpdll_WaitForRequest says which of them end the conversation */
#define DATA_REQUEST 1  /* send the rows of groupId under id (cpdll_SetAttributeValues, cpdll_SendData) */
#define TASK_REQUEST 2  /* run command for user; answer with cpdll_SendTaskRC under id */
#define START_REQUEST 3 /* the agent starts a request on groupId; no answer */
#define STOP_REQUEST 4  /* the agent stops a request on groupId; no answer */

/* One request filter; a singly linked list in the order the agent listed them.
 * In a CPREQUEST, name and value are never null; op and logOp may be. */
typedef struct RequestInfo {
  char* name;
  char* value;
  char* op;
  char* logOp;
  struct RequestInfo* next;
} RequestInfo;

/* The request record. The provider owns it and every string in it, and releases
 * it with cpdll_FreeRequest; it stays valid after the connection is closed. */
typedef struct CPREQUEST {
  int groupId;              /* the group's number for data, start and stop requests; else 0 */
  int requestType;          /* NO_REQUEST .. STOP_REQUEST */
  char* id;                 /* data and task requests: the id to answer under; else null */
  char* requestStartedID;   /* data, start and stop requests; may be null */
  RequestInfo* requestInfo; /* request filters, or null */
  char* command;            /* task requests: the command; else null */
  bool shuttingDown;        /* stop requests: the agent itself is going down */
  char* subnode;            /* the subnode the message named, or null */
  char* user;               /* task requests: the user, or null */
} CPREQUEST;

/* Returns CP_INTERFACE_LEVEL (1000). Touches no state. */
CPCLIENT_API int vexadllHello(void);

/* Sets the agent's TCP port for the next open; once set, the open does not read
 * CP_PORT. Any state; not checked. */
CPCLIENT_API void cpdll_setPort(int port);

/* Returns the value of a configuration property, or null. The text is borrowed:
 * neither free nor change it. Any state. */
CPCLIENT_API const char* cpdll_GetConfigurationProperty(const char* name);

/* Returns the value of configuration variable name for the subnode subnodeKey of
 * type subnodeType, falling back to the type's default and to the plain variable,
 * or null. Borrowed, as above. Any state. */
CPCLIENT_API const char* cpdll_GetSubnodeConfigurationProperty(const char* name, const char* subnodeType,
                                                               const char* subnodeKey);

/* Connects to the agent on 127.0.0.1 (closing an open connection first), trying
 * four times over about 30 sleep units. Returns CP_OK (state: registration open),
 * CP_NO_PORT (nothing changed) or CP_CONNECT_FAILED. When the environment variable
 * CP_AGENT_USER holds a user name or uid, only a listener that belongs to that user
 * counts as the agent: one of another user is closed at once (traced with its
 * owner) and the attempt fails as if nothing listened; a name that is no user fails
 * the open at once. Unset, nothing is checked. */
CPCLIENT_API int cpdll_OpenConnection(void);

/* Closes the connection and drops every registered group, pending request id and
 * unsent response. The close is orderly: every message that a call reported as
 * sent reaches an agent that keeps reading, even over requests never waited for;
 * it waits at most about a second for the agent to take them in. Answers and
 * events under way on other threads finish first (a send the agent never takes is
 * failed after that second); those that begin during the close return
 * CP_ILLEGAL_STATE. Always CP_OK, in any state; may be called twice, also from two
 * threads at once (the second returns after the first). */
CPCLIENT_API int cpdll_CloseConnection(void);

/* Registers an attribute group (name copied) between the open and
 * cpdll_RegistrationComplete. A name registered again replaces the earlier group.
 * Returns CP_OK, or CP_ILLEGAL_STATE for the wrong state or want of memory. */
CPCLIENT_API int cpdll_RegisterAttrGroup(const char* name, int version, int groupId);

/* Sends the registration of every group and lets requests flow. Returns CP_OK,
 * CP_WRITE_FAILED (requests are enabled all the same) or CP_ILLEGAL_STATE. */
CPCLIENT_API int cpdll_RegistrationComplete(void);

/* Blocks until the agent sends a request for the provider, announces its shutdown,
 * or the connection ends. Always stores a new record in *request that the caller
 * frees with cpdll_FreeRequest, also on failure. Returns CP_OK or CP_ILLEGAL_STATE.
 * CP_NO_MEMORY means a request could not be copied for want of memory: it is
 * dropped, the record is empty and nothing is pending for it; if the record itself
 * cannot be allocated, *request is set to null. One waiting thread at a time.
 *
 * CP_OK with requestType NO_REQUEST comes (a) after the agent's shutdown, (b) when
 * the connection has ended (the agent closed or reset it, a read failed, a message
 * could not be received for want of memory) or another thread closed it, and (c)
 * for a stop of a group that this provider did not register, with shuttingDown as
 * the agent said. (a) and (b) end the conversation; (c) does not. The record does
 * not tell them apart, but the agent closes the connection after its shutdown, and
 * once the library has seen the connection end every further wait returns
 * NO_REQUEST at once (CP_ILLEGAL_STATE after a close) and every write
 * CP_WRITE_FAILED. So a provider ends when a NO_REQUEST follows another, and may
 * loop past a single one. */
CPCLIENT_API int cpdll_WaitForRequest(CPREQUEST** request);

/* Releases a record and everything in it; null is ignored. Any state. */
CPCLIENT_API void cpdll_FreeRequest(CPREQUEST* request);

/* Adds one row of count UTF-16 values (elements may be null) to the data response
 * for the request id (UTF-16). Returns CP_OK, CP_ILLEGAL_STATE, CP_ID_NOT_PENDING
 * or CP_NO_MEMORY. The values are copied. */
CPCLIENT_API int cpdll_SetAttributeValues(char16_t** values, int count, char16_t* id);

/* Sends the rows gathered for id and ends the request. Returns CP_OK,
 * CP_ILLEGAL_STATE, CP_WRITE_FAILED (the id ends all the same), CP_ID_NOT_PENDING
 * or CP_NO_MEMORY. */
CPCLIENT_API int cpdll_SendData(const char* id);

/* Answers the data request id with error code rc, dropping its rows; ends the
 * request. Results as cpdll_SendData. */
CPCLIENT_API int cpdll_SendError(int rc, const char* id);

/* Sends one row of count values as an event of group groupId. Returns CP_OK,
 * CP_ILLEGAL_STATE, CP_WRITE_FAILED, CP_UNKNOWN_GROUP or CP_NO_MEMORY. Any thread. */
CPCLIENT_API int cpdll_SendEventData(char** values, int count, int groupId);

/* As cpdll_SendEventData, marked with subnode (null: no subnode). */
CPCLIENT_API int cpdll_SendSubnodeEventData(char** values, int count, int groupId, const char* subnode);

/* Sends error code rc as an event of group groupId. Returns CP_OK,
 * CP_ILLEGAL_STATE, CP_WRITE_FAILED, CP_UNKNOWN_GROUP or CP_NO_MEMORY. Any thread. */
CPCLIENT_API int cpdll_SendEventError(int rc, int groupId);

/* As cpdll_SendEventError, marked with subnode (null: no subnode). */
CPCLIENT_API int cpdll_SendSubnodeEventError(int rc, int groupId, const char* subnode);

/* Answers the task request id with return code rc and ends it. Returns CP_OK,
 * CP_ILLEGAL_STATE, CP_WRITE_FAILED or CP_NO_MEMORY (the id ends all the same in
 * both cases) or CP_ID_NOT_PENDING. Any thread. */
CPCLIENT_API int cpdll_SendTaskRC(int rc, const char* id);

/* ---- Extensions ----------------------------------------------------------
 * Functions added beside the interface above, which they leave exactly as it
 * is: an existing provider sees no difference. */

/* Results of the extensions, never renumbered either. */
#define CP_TIMED_OUT (-11)       /* the timed wait or open: nothing arrived, or no agent, within the time given */
#define CP_AGENT_SHUTDOWN (-12)  /* cpdll_WaitForRequestTimed: the agent announced its shutdown */
#define CP_CONNECTION_LOST (-13) /* cpdll_WaitForRequestTimed: the connection ended, failed or was closed */

/* As cpdll_WaitForRequest (it always stores a record the caller frees with
 * cpdll_FreeRequest, and makes ids pending the same way), but it says why it
 * ended:
 *   CP_OK               a data, task, start or stop request is in the record;
 *   CP_TIMED_OUT        no whole request arrived within timeoutMs milliseconds
 *                       (negative: no limit; 0: only what has already arrived);
 *                       a message that arrived in part is kept and completed by
 *                       the next call;
 *   CP_AGENT_SHUTDOWN   the agent announced its shutdown;
 *   CP_CONNECTION_LOST  the connection ended: closed or reset by the agent, a
 *                       failed read, or a close on another thread;
 *   CP_ILLEGAL_STATE, CP_NO_MEMORY as for cpdll_WaitForRequest.
 * The record holds NO_REQUEST unless the result is CP_OK. A stop for a group that
 * this provider did not register is skipped, not returned. One waiting thread at a
 * time, as for cpdll_WaitForRequest. */
CPCLIENT_API int cpdll_WaitForRequestTimed(CPREQUEST** request, int timeoutMs);

/* As cpdll_SetAttributeValues, with the values and the id in UTF-8: the same bytes
 * on the wire and the same results, without the conversion. */
CPCLIENT_API int cpdll_SetAttributeValuesUtf8(const char* const* values, int count, const char* id);

/* Answers the task request id with return code rc and count outputs: values[i]
 * (null: an empty value), each marked with the instance insts[i] when insts and
 * insts[i] are not null. With no values (null, or count 0 or less) the answer is
 * that of cpdll_SendTaskRC. Results as cpdll_SendTaskRC. Any thread. */
CPCLIENT_API int cpdll_SendTaskOutput(int rc, const char* id, const char* const* values, const char* const* insts,
                                      int count);

/* As cpdll_OpenConnection, with the same attempts, waits and trace lines, but never
 * past timeoutMs milliseconds: a wait that would run past it is cut short and no
 * attempt follows. Not connected by then: CP_TIMED_OUT, and nothing of the
 * connection is left (state closed, no socket, no tables), as after
 * CP_CONNECT_FAILED from this function. 0 makes one attempt and no wait; a negative
 * limit is cpdll_OpenConnection itself. */
CPCLIENT_API int cpdll_OpenConnectionTimed(int timeoutMs);

/* A short constant English text for a CP_ result ("the request id is not
 * pending"), or "unknown result" for any other number. Any state, any thread. */
CPCLIENT_API const char* cpdll_ResultText(int result);

#ifdef __cplusplus
}
#endif

#endif /* CPCLIENT_H */
