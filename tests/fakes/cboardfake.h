/* A board controller written in C, as another compiler's object looks to the
 * proxy: the object starts with a pointer to a table of nine functions in
 * slot order. Built in the conventions a board maker's library may use (see
 * CMakeLists.txt); it records what each slot received, so a test sees every
 * argument arrive exactly, and whether the object pointer came through. */
#ifndef BRELVO_CBOARDFAKE_H
#define BRELVO_CBOARDFAKE_H

#include <stdint.h>

#define CBOARDFAKE_SLOTS 9
#define CBOARDFAKE_TEXT 64

typedef struct TCBoardFakeCall {
  int32_t calls;       /* how often the slot ran */
  int32_t selfMatches; /* 1 when the slot received the object it belongs to */
  int32_t args[10];    /* integer arguments in call order */
  const void* pointer; /* the port name, picture bits or row name as passed */
  int32_t textLength;  /* bytes (port name, picture) or UTF-16 units (name) copied; -1 for null */
  uint16_t text[CBOARDFAKE_TEXT];
} TCBoardFakeCall;

/* Exports beside the controller's two: */
typedef int32_t (*TCBoardFakeLastCall)(int32_t slot, TCBoardFakeCall* out);
typedef void (*TCBoardFakeCreateNothing)(int32_t on); /* create leaves the pointer null */
typedef void* (*TCBoardFakeWindow)(void);             /* the window handle create was given */
typedef int32_t (*TCBoardFakeDeletes)(void);          /* deletes of the library's own object */
#define CBOARDFAKE_LAST_CALL "cboardfakeLastCall"
#define CBOARDFAKE_CREATE_NOTHING "cboardfakeCreateNothing"
#define CBOARDFAKE_WINDOW "cboardfakeWindow"
#define CBOARDFAKE_DELETES "cboardfakeDeletes"

#endif
