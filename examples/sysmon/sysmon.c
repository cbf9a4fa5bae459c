/* sysmon: an example provider that serves this machine's file systems, processes
 * and load averages to the monitoring agent.
 *
 * Groups and their columns, in row order (the first column is the row's key):
 *   FileSystem  mountPoint type sizeKB usedKB pctUsed   (mount table and statvfs)
 *   Process     pid name state rssKB threads            (/proc/PID/status)
 *   Load        load1 load5 load15                      (/proc/loadavg)
 *
 * Filters: a data request's requestInfo entries that name the group's first
 * column with op "EQ" (or no op) keep only the rows whose first value equals
 * theirs; several such entries all apply (logOp is not looked at). Every other
 * entry is ignored and left to the agent.
 *
 * Tasks: "echo TEXT" writes TEXT to standard error (a task answer carries only
 * its return code) and answers rc 0; any other command answers TASK_UNKNOWN_RC.
 *
 * Events: when the configuration property SYSMON_FS_ALERT_PCT (read once at the
 * start) is a percentage, each FileSystem data request also sends one event per
 * file system whose pctUsed is above it, carrying that file system's row.
 *
 * Ownership: every record from cpdll_WaitForRequest goes back through
 * cpdll_FreeRequest; every UTF-16 copy made here is freed here.
 */
#define _DEFAULT_SOURCE /* setmntent, getmntent, endmntent */

#include <cpclient.h>
#include <dirent.h>
#include <errno.h>
#include <mntent.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>

#include "../common/utf16.h"

/* Our own group numbers; the library hands them back in CPREQUEST.groupId. */
enum { FILESYSTEM_GROUP = 1, PROCESS_GROUP = 2, LOAD_GROUP = 3 };
enum { GROUP_VERSION = 1 };

/* Error code of a data answer whose source could not be read or sent in full. */
enum { SOURCE_ERROR_RC = 1 };
/* Return code of a task whose command sysmon does not know. */
enum { TASK_UNKNOWN_RC = 2 };

enum { FILESYSTEM_COLUMNS = 5, PROCESS_COLUMNS = 5, LOAD_COLUMNS = 3, MAX_COLUMNS = 5 };
static const char FILESYSTEM_KEY[] = "mountPoint";
static const char PROCESS_KEY[] = "pid";
static const char LOAD_KEY[] = "load1";

static const char ALERT_PROPERTY[] = "SYSMON_FS_ALERT_PCT";
static const char MOUNT_TABLE[] = "/proc/self/mounts";

/* Returns a malloc'd NUL-terminated UTF-16 copy of the UTF-8 text, which the
 * caller frees, or null when out of memory. Any byte string converts: a malformed
 * sequence becomes U+FFFD (see utf16FromUtf8). */
static char16_t* toUtf16(const char* text) {
  size_t capacity = strlen(text) + 1; /* never more units than bytes */
  char16_t* out = malloc(capacity * sizeof *out);
  if (out) utf16FromUtf8(text, out, capacity);
  return out;
}

/* The data response being built for one request. */
typedef struct Response {
  const CPREQUEST* request;
  char16_t* id;        /* request->id in UTF-16, as cpdll_SetAttributeValues takes it */
  const char* keyName; /* the group's first column, the one filters select on */
} Response;

/* True when the filters of the response's request keep a row whose first value is key. */
static bool rowWanted(const Response* response, const char* key) {
  for (const RequestInfo* f = response->request->requestInfo; f; f = f->next) {
    bool equality = !f->op || strcmp(f->op, "EQ") == 0;
    if (equality && strcmp(f->name, response->keyName) == 0 && strcmp(f->value, key) != 0) return false;
  }
  return true;
}

/* Adds one row of byte-string values to the response unless the filters drop it.
 * The library copies the row, so the UTF-16 copies are freed before returning.
 * Returns CP_OK, CP_NO_MEMORY, or the library's result. */
static int addRow(const Response* response, char** values, int count) {
  char16_t* converted[MAX_COLUMNS];
  int rc = CP_OK;
  if (!rowWanted(response, values[0])) return CP_OK;
  for (int i = 0; i < count; i++) {
    converted[i] = toUtf16(values[i]);
    if (!converted[i]) rc = CP_NO_MEMORY;
  }
  if (rc == CP_OK) rc = cpdll_SetAttributeValues(converted, count, response->id);
  for (int i = 0; i < count; i++) free(converted[i]);
  return rc;
}

/* One row per mounted file system that has blocks (pseudo file systems have none).
 * Returns false when the mount table cannot be read or a row cannot be added. */
static bool serveFileSystems(Response* response, long alertPct) {
  FILE* table = setmntent(MOUNT_TABLE, "r");
  struct mntent* mount;
  bool complete = true;
  if (!table) return false;
  response->keyName = FILESYSTEM_KEY;
  while (complete && (mount = getmntent(table)) != NULL) {
    struct statvfs fs;
    if (statvfs(mount->mnt_dir, &fs) != 0 || fs.f_blocks == 0) continue;
    unsigned long long sizeKB = (unsigned long long)fs.f_blocks * fs.f_frsize / 1024;
    unsigned long long usedKB = (unsigned long long)(fs.f_blocks - fs.f_bfree) * fs.f_frsize / 1024;
    unsigned long long availKB = (unsigned long long)fs.f_bavail * fs.f_frsize / 1024;
    unsigned long long whole = usedKB + availKB; /* what an unprivileged user can fill */
    long pctUsed = whole ? (long)((usedKB * 100 + whole - 1) / whole) : 0;
    char sizeText[24], usedText[24], pctText[24];
    snprintf(sizeText, sizeof sizeText, "%llu", sizeKB);
    snprintf(usedText, sizeof usedText, "%llu", usedKB);
    snprintf(pctText, sizeof pctText, "%ld", pctUsed);
    char* row[FILESYSTEM_COLUMNS] = {mount->mnt_dir, mount->mnt_type, sizeText, usedText, pctText};
    complete = addRow(response, row, FILESYSTEM_COLUMNS) == CP_OK;
    if (alertPct >= 0 && pctUsed > alertPct) cpdll_SendEventData(row, FILESYSTEM_COLUMNS, FILESYSTEM_GROUP);
  }
  endmntent(table);
  return complete;
}

/* Adds the row of process pid; a process that has gone meanwhile adds nothing. */
static int addProcess(const Response* response, char* pid) {
  char path[288], line[256];
  char name[64] = "", state[8] = "", rssKB[24] = "0", threads[24] = "";
  snprintf(path, sizeof path, "/proc/%s/status", pid);
  FILE* status = fopen(path, "r");
  if (!status) return CP_OK;
  while (fgets(line, sizeof line, status)) {
    /* Each line matches at most one pattern; kernel threads have no VmRSS line. */
    if (sscanf(line, "Name:\t%63[^\n]", name) == 1) continue;
    if (sscanf(line, "State:\t%7s", state) == 1) continue;
    if (sscanf(line, "VmRSS:\t%23s", rssKB) == 1) continue;
    sscanf(line, "Threads:\t%23s", threads);
  }
  fclose(status);
  char* row[PROCESS_COLUMNS] = {pid, name, state, rssKB, threads};
  return addRow(response, row, PROCESS_COLUMNS);
}

/* One row per process. Returns false when /proc cannot be listed or a row cannot be added. */
static bool serveProcesses(Response* response) {
  DIR* proc = opendir("/proc");
  struct dirent* entry;
  bool complete = true;
  if (!proc) return false;
  response->keyName = PROCESS_KEY;
  while (complete && (entry = readdir(proc)) != NULL) {
    if (strspn(entry->d_name, "0123456789") != strlen(entry->d_name)) continue; /* not a process */
    complete = addProcess(response, entry->d_name) == CP_OK;
  }
  closedir(proc);
  return complete;
}

/* One row: the 1, 5 and 15 minute load averages as the kernel writes them. */
static bool serveLoad(Response* response) {
  char load1[16], load5[16], load15[16];
  FILE* loadavg = fopen("/proc/loadavg", "r");
  if (!loadavg) return false;
  int fields = fscanf(loadavg, "%15s %15s %15s", load1, load5, load15);
  fclose(loadavg);
  if (fields != LOAD_COLUMNS) return false;
  response->keyName = LOAD_KEY;
  char* row[LOAD_COLUMNS] = {load1, load5, load15};
  return addRow(response, row, LOAD_COLUMNS) == CP_OK;
}

/* Answers a data request with every row its filters keep, or with SOURCE_ERROR_RC. */
static void answerData(const CPREQUEST* request, long alertPct) {
  Response response = {request, toUtf16(request->id), NULL};
  bool complete = false;
  if (response.id) {
    switch (request->groupId) {
      case FILESYSTEM_GROUP: complete = serveFileSystems(&response, alertPct); break;
      case PROCESS_GROUP: complete = serveProcesses(&response); break;
      case LOAD_GROUP: complete = serveLoad(&response); break;
    }
  }
  if (complete) {
    cpdll_SendData(request->id);
  } else {
    cpdll_SendError(SOURCE_ERROR_RC, request->id); /* drops any rows already added */
  }
  free(response.id);
}

/* Runs a task command and returns its return code. */
static int runTask(const char* command) {
  if (command && strncmp(command, "echo", 4) == 0 && (command[4] == '\0' || command[4] == ' ')) {
    fprintf(stderr, "%s\n", command[4] ? command + 5 : "");
    return 0;
  }
  return TASK_UNKNOWN_RC;
}

/* The alert threshold in percent from the configuration, or -1 (no events). */
static long readAlertPct(void) {
  const char* text = cpdll_GetConfigurationProperty(ALERT_PROPERTY); /* borrowed */
  char* end = NULL;
  if (!text) return -1;
  errno = 0;
  long pct = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || pct < 0 || pct > 100) {
    fprintf(stderr, "sysmon: %s=\"%s\" is not a percentage from 0 to 100; no events\n", ALERT_PROPERTY, text);
    return -1;
  }
  return pct;
}

int main(void) {
  long alertPct = readAlertPct();
  int rc = cpdll_OpenConnection(); /* the agent's port comes from CP_PORT */
  if (rc != CP_OK) {
    fprintf(stderr, "sysmon: cannot connect to the agent (rc %d; is CP_PORT set?)\n", rc);
    return 1;
  }
  cpdll_RegisterAttrGroup("FileSystem", GROUP_VERSION, FILESYSTEM_GROUP);
  cpdll_RegisterAttrGroup("Process", GROUP_VERSION, PROCESS_GROUP);
  cpdll_RegisterAttrGroup("Load", GROUP_VERSION, LOAD_GROUP);
  rc = cpdll_RegistrationComplete();
  if (rc != CP_OK) {
    fprintf(stderr, "sysmon: registration failed (rc %d)\n", rc);
    cpdll_CloseConnection();
    return 1;
  }
  for (;;) {
    CPREQUEST* request = NULL;
    rc = cpdll_WaitForRequest(&request);
    if (rc != CP_OK || request->requestType == NO_REQUEST) {
      cpdll_FreeRequest(request); /* null when rc is CP_NO_MEMORY; that is fine */
      break;                      /* shutdown, or the connection ended */
    }
    if (request->requestType == DATA_REQUEST) {
      answerData(request, alertPct);
    } else if (request->requestType == TASK_REQUEST) {
      cpdll_SendTaskRC(runTask(request->command), request->id);
    } /* START_REQUEST and STOP_REQUEST need no answer */
    cpdll_FreeRequest(request);
  }
  cpdll_CloseConnection();
  return rc == CP_OK ? 0 : 1;
}
