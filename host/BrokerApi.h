/*
 * The broker's plug-in support interface: the functions a node plug-in calls
 * and the records it exchanges with its host. A plug-in compiles against these
 * declarations exactly as it would against a production host's headers.
 *
 * Conventions shared by every call:
 *  - The first argument is a pointer to an int return code (may be null when
 *    the caller ignores it). 0 is success; CCI_EXCEPTION (64) means the broker
 *    now holds a pending exception that the caller passes on with
 *    cciRethrowLastException; any other nonzero value means "no usable result".
 *  - Handles are opaque pointers owned by the broker.
 *  - CciChar text is zero-terminated UTF-16 in native byte order.
 */
#ifndef KVPOOL_HOST_BROKERAPI_H
#define KVPOOL_HOST_BROKERAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint16_t CciChar;

typedef struct CciFactoryS CciFactory;
typedef struct CciNodeS CciNode;
typedef struct CciTerminalS CciTerminal;
typedef struct CciMessageS CciMessage;
typedef struct CciMessageContextS CciMessageContext;
typedef struct CciElementS CciElement;
/* The plug-in's own per-node state; the broker only stores and passes it. */
typedef void CciContext;

enum {
  CCI_SUCCESS = 0,
  CCI_FAILURE = 1,
  CCI_BUFFER_TOO_SMALL = 2,
  CCI_INVALID_DATA = 3,
  CCI_EXCEPTION = 64
};

/* Log types of cciLog. */
enum { CCI_LOG_ERROR = 0, CCI_LOG_WARNING = 1, CCI_LOG_INFORMATION = 2 };
/* Exception types of cciThrowException. */
enum { CCI_FATAL_EXCEPTION = 0, CCI_CONFIGURATION_EXCEPTION = 2 };

/* Code page of UTF-8; the only one the conversions accept. */
enum { CCI_CODEPAGE_UTF8 = 1208 };

/* Element type bits. */
enum { CCI_ELEMENT_TYPE_NAME = 0x01000000, CCI_ELEMENT_TYPE_VALUE = 0x02000000 };

/* The exception record filled by cciGetLastExceptionData: 576 bytes. */
typedef struct CciExceptionData {
  int32_t versionWord;      /* 0: the caller's starting word, left alone */
  int32_t type;             /* 4: exception type (0 fatal, 2 configuration) */
  int32_t messageNumber;    /* 8 */
  char brokerArea[516];     /* 12..527: the broker's own data */
  const char* file;         /* 528: source file name */
  int32_t line;             /* 536 */
  const char* function;     /* 544 */
  const char* traceText;    /* 552 */
  char reserved[576 - 560]; /* 560..575 */
} CciExceptionData;

/* Node callbacks handed to the broker by cniDefineNodeClass. */
typedef CciContext* (*CniCreateContextFn)(CciFactory* factoryObject, CciChar* nodeName,
                                          CciNode* nodeObject);
typedef void (*CniDeleteContextFn)(CciContext* context);
typedef int (*CniGetAttributeNameFn)(CciContext* context, int index, CciChar* buffer,
                                     int bufferLength);
typedef int (*CniSetAttributeFn)(CciContext* context, CciChar* name, CciChar* value);
typedef int (*CniGetAttributeFn)(CciContext* context, CciChar* name, CciChar* buffer,
                                 int bufferLength);
typedef void (*CniEvaluateFn)(CciContext* context, CciMessage* exceptionList,
                              CciMessage* destinationList, CciMessage* message);

/* The callback table: leading word 0, "NVFT", version 1, six callbacks, null. */
typedef struct CniNodeFunctionTable {
  int32_t reserved;
  char eyeCatcher[4];
  int32_t version;
  CniCreateContextFn createNodeContext;
  CniDeleteContextFn deleteNodeContext;
  CniGetAttributeNameFn getAttributeName;
  CniSetAttributeFn setAttribute;
  CniGetAttributeFn getAttribute;
  CniEvaluateFn evaluate;
  void* trailing;
} CniNodeFunctionTable;

#define CNI_VFT_EYECATCHER "NVFT"
#define CNI_VFT_VERSION 1

/* Factories and node classes. */
CciFactory* cniCreateNodeFactory(int* returnCode, const CciChar* factoryName);
void cniDefineNodeClass(int* returnCode, CciFactory* factory, const CciChar* className,
                        CniNodeFunctionTable* functionTable);

/* Terminals. */
CciTerminal* cniCreateInputTerminal(int* returnCode, CciNode* nodeObject,
                                    const CciChar* terminalName);
CciTerminal* cniCreateOutputTerminal(int* returnCode, CciNode* nodeObject,
                                     const CciChar* terminalName);
/* Nonzero when something is wired to the terminal. */
int cniIsTerminalAttached(int* returnCode, CciTerminal* terminal);
/* Sends the message on, synchronously; rc 64 when a later node raised. */
int cniPropagate(int* returnCode, CciTerminal* terminal, CciMessage* exceptionList,
                 CciMessage* destinationList, CciMessage* message);

/* Messages. */
CciMessageContext* cniGetMessageContext(int* returnCode, CciMessage* message);
CciMessage* cniCreateMessage(int* returnCode, CciMessageContext* context);
CciElement* cniRootElement(int* returnCode, CciMessage* message);
/* Deep copy of the children of source below target. */
void cniCopyElementTree(int* returnCode, CciElement* source, CciElement* target);
void cniFinalize(int* returnCode, CciMessage* message, int options);
void cniDeleteMessage(int* returnCode, CciMessage* message);

/* Elements. */
CciElement* cniFirstChild(int* returnCode, CciElement* element);
CciElement* cniLastChild(int* returnCode, CciElement* element);
CciElement* cniNextSibling(int* returnCode, CciElement* element);
/* Copies at most capacity units, terminated within the capacity; returns the
 * name's length in units. */
int cniElementName(int* returnCode, CciElement* element, CciChar* buffer, int capacity);
int cniElementType(int* returnCode, CciElement* element);
/* Returns the value's length in units. When it is above the capacity nothing
 * usable is in the buffer (it holds a terminated prefix) and the caller asks
 * again with a buffer of at least length + 1 units. */
int cniElementCharacterValue(int* returnCode, CciElement* element, CciChar* buffer, int capacity);
CciElement* cniCreateElementAsLastChild(int* returnCode, CciElement* parent);
void cniSetElementName(int* returnCode, CciElement* element, const CciChar* name);
void cniSetElementType(int* returnCode, CciElement* element, int type);
/* Sets length units of value; the element becomes value-bearing. */
void cniSetElementCharacterValue(int* returnCode, CciElement* element, const CciChar* value,
                                 int length);

/* Code-page conversions; only code page 1208 (UTF-8) is known. The result is
 * always terminated within the capacity (when the capacity is at least 1).
 * They return the length of the converted text (units or bytes); a text that
 * does not fit is cut at a character boundary and reported with
 * CCI_BUFFER_TOO_SMALL, invalid input or an unknown code page with a nonzero
 * code. */
int cciMbsToUcs(int* returnCode, const char* mbs, CciChar* ucs, int capacity, int codepage);
int cciUcsToMbs(int* returnCode, const CciChar* ucs, char* mbs, int capacity, int codepage);

/* The broker's event log. Inserts are 8-bit texts (UTF-8); the list ends with
 * a null pointer. */
void cciLog(int* returnCode, int type, const char* file, int line, const char* function,
            const CciChar* messageSource, int messageNumber, const char* traceText, ...);

/* Raises an exception in the broker (as a C++ exception that unwinds through the
 * plug-in's frames to the broker's call site). Same fields as cciLog. */
void cciThrowException(int* returnCode, int type, const char* file, int line, const char* function,
                       const CciChar* messageSource, int messageNumber, const char* traceText, ...);
/* Fills the record with the data of the pending exception. */
void cciGetLastExceptionData(int* returnCode, CciExceptionData* data);
/* Raises the pending exception again. */
void cciRethrowLastException(int* returnCode);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(CciExceptionData) == 576, "exception record is 576 bytes");
static_assert(offsetof(CciExceptionData, messageNumber) == 8, "message number at byte 8");
static_assert(offsetof(CciExceptionData, file) == 528, "source file at byte 528");
static_assert(offsetof(CciExceptionData, line) == 536, "line follows the file");
static_assert(offsetof(CciExceptionData, function) == 544, "function follows the line");
static_assert(offsetof(CciExceptionData, traceText) == 552, "trace text follows");
static_assert(offsetof(CniNodeFunctionTable, eyeCatcher) == 4, "eye-catcher at byte 4");
static_assert(offsetof(CniNodeFunctionTable, version) == 8, "version at byte 8");
static_assert(offsetof(CniNodeFunctionTable, createNodeContext) == (sizeof(void*) == 4 ? 12 : 16),
              "callbacks follow the version word");
static_assert(sizeof(CniNodeFunctionTable) == (sizeof(void*) == 4 ? 40 : 72),
              "callback table: 40 bytes with 32-bit pointers");
#endif

#endif
