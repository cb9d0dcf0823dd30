/* The machine the test bus driver serves, as hotp_wine_machine writes it: every function with
 * its configuration bytes and masks, and the flows to play. */
#pragma once

#include <windef.h>

typedef struct {
    LONG Parent;      /* index of the bridge whose secondary bus holds it; -1: the root bus */
    ULONG Device;
    ULONG Function;
    LONG Card;        /* the insertion that brings it; -1: present at boot */
    ULONG Pm;         /* offset of the power-management capability; 0: none */
    UCHAR Config[256];     /* as firmware left it (a card: as it arrives, reset) */
    UCHAR PowerOn[256];    /* after a reset */
    UCHAR Writable[256];   /* bits software can change */
    UCHAR Clearable[256];  /* bits a one written clears */
} TB_FUNCTION;

enum {
    TB_STEP_INSERT, TB_STEP_SURPRISE_REMOVE, TB_STEP_POWER, TB_STEP_REMOVE, TB_STEP_SLEEP, TB_STEP_WAKE,
    TB_STEP_FAIL
};

/* The faults a fail step arms in the bus driver's requests. */
enum { TB_FAULT_NONE, TB_FAULT_LOWER_FAIL, TB_FAULT_LOWER_PEND };

typedef struct {
    ULONG Kind;
    LONG Target;  /* insert, removals, fail: the bridge of the slot's bus; power: the function */
    ULONG Value;  /* insert, removals, fail: the slot's device number; power: the device state
                   * 0-3; sleep: the system state 1-4 */
    LONG Card;    /* insert, removals: the insertion */
    ULONG Fault;  /* fail: TB_FAULT_*; the nth matching request fails, and every one after it
                   * too unless Once */
    ULONG Nth;
    ULONG Once;
} TB_STEP;

extern const TB_FUNCTION TbFunctions[];
extern const ULONG TbFunctionCount;
extern const TB_STEP TbSteps[];
extern const ULONG TbStepCount;
