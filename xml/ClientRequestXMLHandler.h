// Handler that turns one message from the agent into request facts (kind, group, ids, task, subnode, filters).
//
// Inbound vocabulary, matched by exact element name wherever the element stands:
//   dataRequest       id, requestStartedID    sets isDataRequest
//   taskRequest       id                      sets isTaskRequest
//   attrGroup         name                    the attribute group
//   task              command, user
//   startRequestInfo  requestStartedID, ag    sets isStartRequest
//   stopRequestInfo   requestStartedID, ag, shuttingDown ("TRUE" in any case)
//   requestInfo       name, value, op, logOp  appends one request filter
//   shutdown                                  sets isShutdown and isShuttingDown
//   any element       subnode
// A later element overwrites what an earlier one set. Missing attributes leave
// fields null (a copy that cannot be allocated does too). A parse error is traced
// and recorded nowhere: the facts gathered before it stand.
//
// Every text handed out is owned by the handler and lives as long as it does,
// unless it is taken: a take hands the heap copy itself over to the caller.
// One handler serves one message; it is never reset. Not thread-safe.
#ifndef CPCLIENT_XML_CLIENTREQUESTXMLHANDLER_H
#define CPCLIENT_XML_CLIENTREQUESTXMLHANDLER_H

#include "cpclient.h"
#include "xml/XMLHandler.h"

class ClientRequestXMLHandler : public XMLHandler {
 public:
  // Every text null, every flag false, no request filters.
  ClientRequestXMLHandler();
  ClientRequestXMLHandler(const ClientRequestXMLHandler&) = delete;
  ClientRequestXMLHandler& operator=(const ClientRequestXMLHandler&) = delete;
  // Frees every copy and every RequestInfo node with its four texts.
  ~ClientRequestXMLHandler() override;

  // Copies what the vocabulary above reads from the element's attributes.
  void startElement(const char* name, HashTable* attributes) override;
  void endElement(const char* name) override;
  // Traces "Client request parse error found: MESSAGE" whatever the trace level.
  void fatalError(const char* message) override;

  // The attribute group, or null. Traced: its exit event carries the value.
  const char* getAttrGroup();
  char* getId() const { return id; }
  char* getRequestStartedID() const { return requestStartedID; }
  char* getSubnode() const { return subnode; }
  char* getCommand() const { return command; }
  char* getUser() const { return user; }
  // The request filters in document order; a node's four texts may each be null.
  RequestInfo* getRequestInfo() const { return requestInfo; }
  bool isDataRequest() const { return dataRequest; }
  bool isTaskRequest() const { return taskRequest; }
  bool isStartRequest() const { return startRequest; }
  bool isStopRequest() const { return stopRequest; }
  bool isShutdown() const { return shutdown; }
  bool isShuttingDown() const { return shuttingDown; }
  // Each hands its text (or the whole filter list) over to the caller, who frees it
  // (freeRequestInfoList for the list); the handler holds null (no filters) after it.
  char* takeId();
  char* takeRequestStartedID();
  char* takeSubnode();
  char* takeCommand();
  char* takeUser();
  RequestInfo* takeRequestInfo();
  // True when a copy could not be allocated: the facts above are then incomplete.
  bool ranOutOfMemory() const { return outOfMemory; }

 private:
  char* attrGroup;
  char* command;
  char* id;
  char* requestStartedID;
  char* subnode;
  RequestInfo* requestInfo;
  RequestInfo** requestInfoTail;  // the null link that ends the list: appending costs the same at any length
  bool dataRequest;
  bool taskRequest;
  bool startRequest;
  bool stopRequest;
  bool shuttingDown;
  bool shutdown;
  char* user;
  bool outOfMemory;
};

// Frees every node of a request-filter list with its four strings (all malloc'ed).
void freeRequestInfoList(RequestInfo* head);

#endif  // CPCLIENT_XML_CLIENTREQUESTXMLHANDLER_H
