/*
 * The change log of change_log.cc (MarkChange and WaitForChanges), as a
 * model for spin.
 *
 * Two writers mark CHANGES0 and CHANGES1 changes on a ring of CAP entries;
 * WAITERS waiters (one or two) wait over and over, each with its cursor,
 * waiter 1 through a filter that refuses writer 1's ident. Either kind may
 * be killed: a killed writer is gone, a killed waiter is replaced by a
 * fresh one that starts at the current head, as a new observer would.
 *
 * One atomic step stands for one atomic instruction or one system call.
 * Atomics are taken as sequentially consistent: on x86 every atomic
 * read-modify-write and seq_cst store is a full barrier, and the code uses
 * seq_cst wherever the order of a store and a later load matters (the
 * sleepers flag against head). The release store of an entry and the
 * acquire load of it, which make the value stored before the mark visible
 * to the reader, are not modelled further.
 *
 * Kills are placed after every step that changes shared state: a kill
 * after a mere load leaves the same state as a kill before it, since the
 * killed process's own state goes with it. A writer's value store is not
 * modelled: a writer killed between it and its reservation changed a value
 * and has no change to report. A returned wait (kChanged, or kTimedOut with
 * the cursor where it was) followed by the caller's next wait is a return
 * to the top of the loop: the model keeps no deadline and no batch.
 *
 * The futex: FUTEX_WAIT compares the word and queues the caller in one step
 * (the kernel does both under its bucket lock) and returns at once when the
 * word differs; FUTEX_WAKE wakes every caller queued at that moment. With
 * -DTIMEOUTS a sleep may also end by its timeout or a signal.
 *
 * Checked:
 *   - a reported ident is the one stamped for its sequence number, also
 *     after the ring wrapped (lapped entries, a reader more than a ring
 *     behind) and with holes left by killed writers; the cursor moves only
 *     over entries it has read, or past a ring it lost with resync;
 *   - (-DQUIET, without timeouts) when nothing can move any more, no waiter
 *     sleeps while a completed change is due to it: no lost wake-up;
 *   - (-DLIVENESS, ltl all_reported, weak fairness) every change due to a
 *     waiter is eventually read by it (reported, refused by its filter, or
 *     covered by a resync). Without timeouts "due" means completed
 *     (MarkChange returned) and the sleeps end only by wake-ups; with
 *     timeouts it means stamped, or reserved by a writer that was killed:
 *     a killed writer's change still reaches every waiter, by the end of
 *     the waiter's slice at the latest.
 *
 * -DWAKE_KILLS also kills a writer between taking the sleepers flag (the
 * exchange) and its FUTEX_WAKE. That writer has cleared the flag, so the
 * sleepers sleep on until their timeouts, and a later writer, seeing no
 * flag, does not wake them for its own completed change either: without
 * timeouts QUIET fails there. With timeouts every change is still reported.
 * Every other kill is always on.
 *
 * -DLOST_WAKEUP is the classic mistake, for a mutation check: the waiter
 * sets the sleepers flag after its last look at head. Spin must find the
 * lost wake-up (QUIET and LIVENESS fail).
 */

#ifndef CAP
#define CAP 2          /* ring entries */
#endif
#ifndef CHANGES0
#define CHANGES0 2     /* MarkChange calls of writer 0 */
#endif
#ifndef CHANGES1
#define CHANGES1 1     /* and of writer 1: three marks overrun a ring of two */
#endif
#define NW 2           /* waiters at most */
#ifndef WAITERS
#define WAITERS 2      /* waiters run */
#endif
#define NSEQ 4         /* sequence numbers: at most CHANGES0 + CHANGES1 */
#define NONE 255
#ifndef WRITER_LIVES
#define WRITER_LIVES 1
#endif
#ifndef KILLABLE_WAITERS
#define KILLABLE_WAITERS 2
#endif
#ifndef WAITER_LIVES
#define WAITER_LIVES 1
#endif

/* Waiter 1 does not want writer 1's ident (2); holes pass every filter. */
#define PASS(w, ident) (!((w) == 1 && (ident) == 2))

/* The shared object */
byte head;                 /* next sequence number */
byte slot_tag[CAP];        /* entry: seq + 1 of the change it holds, 0 never written */
byte slot_ident[CAP];
byte word;                 /* the futex word */
bool sleepers;             /* some waiter may sleep on word */

/* The kernel's futex queue */
bool asleep[NW];

/* Per waiter; global so that the claims can see it */
byte cursor[NW];           /* NONE while a killed waiter is being replaced */

/* Ghosts, for the checks only */
byte stamped[NSEQ];        /* ident stamped for the seq, 0 not (yet) */
bool hole[NSEQ];           /* its writer was killed between reserving and stamping */
bool complete[NSEQ];       /* its MarkChange returned */

#ifdef TIMEOUTS
#define DUE_SEQ(s) (stamped[s] != 0 || hole[s])
#else
#define DUE_SEQ(s) complete[s]
#endif
#define DUE(w, s) (cursor[w] != NONE && s >= cursor[w] && s < head && DUE_SEQ(s) && \
                   PASS(w, stamped[s]))
#define OWED(w) (DUE(w, 0) || DUE(w, 1) || DUE(w, 2) || DUE(w, 3))

#ifdef LIVENESS
ltl all_reported { [] ((OWED(0) -> <> !OWED(0)) && (OWED(1) -> <> !OWED(1))) }
#endif

/* A kill point of a writer. The kernel's part is nothing: it holds no
 * lock and no futex. */
#define WK if :: lives > 0 -> goto killed :: true fi
#ifdef WAKE_KILLS
#define WK_WAKE WK
#else
#define WK_WAKE skip
#endif

proctype Writer(byte me; byte n) {
  byte seq = NONE, lives = WRITER_LIVES;
  do
  :: n > 0 ->
     atomic { seq = head; head++ };   /* fetch_add(head) */
     WK;
     atomic {   /* the entry: one 64-bit store of tag and ident */
       slot_tag[seq % CAP] = seq + 1;
       slot_ident[seq % CAP] = me + 1;
       stamped[seq] = me + 1
     };
     WK;
     if
     :: atomic { sleepers -> skip };   /* load(sleepers) */
        if
        :: atomic { sleepers -> sleepers = false };   /* exchange(sleepers, 0) */
           WK_WAKE;
           word++;
           WK_WAKE;
           atomic {   /* FUTEX_WAKE all */
             asleep[0] = false;
             asleep[1] = false;
             complete[seq] = true
           }
        :: atomic { !sleepers -> complete[seq] = true }
        fi
     :: atomic { !sleepers -> complete[seq] = true }
     fi;
     atomic { n--; seq = NONE }   /* a kill from here on is a kill before the next reservation */
  :: n > 0 && lives > 0 -> goto killed
  :: else -> break
  od;
  goto done;
killed:
  atomic {
    if
    :: seq != NONE && stamped[seq] == 0 -> hole[seq] = true
    :: else
    fi;
    lives--
  };
done:
  skip
}

/* A kill point of a waiter: the kernel takes it off the futex queue; the
 * flag it may have set stays. */
#define KW if :: lives > 0 -> goto killed :: true fi

#ifdef TIMEOUTS
#define MAY_END_EARLY true
#else
#define MAY_END_EARLY false
#endif

/* One WaitForChanges is the loop from `top`. Returning (kChanged, or
 * kTimedOut with the cursor where it was) and starting the next wait is a
 * return to `top` too: the model keeps no batch and no deadline, so the
 * two look alike. The batch is checked as it is read. */
proctype Waiter(byte me) {
  byte h, s, w, lives = (me < KILLABLE_WAITERS -> WAITER_LIVES : 0);
  cursor[me] = head;   /* CurrentChangeCursor */
top:
  atomic {   /* load(head) */
    h = head;
    if
    :: h == cursor[me] -> h = 0; goto idle
    :: h - cursor[me] > CAP -> cursor[me] = h; h = 0; goto top   /* overwritten already: resync */
    :: else -> s = cursor[me]
    fi
  };
  do   /* Collect: each entry of [cursor, head), then *cursor = head */
  :: atomic {   /* the stamp is there (at once or within the patience) */
       slot_tag[s % CAP] == s + 1 ->
       assert(slot_ident[s % CAP] == stamped[s]);
       s++;
       if
       :: s == h -> cursor[me] = h; h = 0; s = 0; break
       :: else
       fi
     }
  :: atomic {   /* not stamped (yet), or lapped: the patience runs out, resync */
       slot_tag[s % CAP] != s + 1 ->
       s++;
       if
       :: s == h -> cursor[me] = h; h = 0; s = 0; break
       :: else
       fi
     }
  od;
  goto top;
idle:
  w = word;   /* load(wake_word) */
#ifndef LOST_WAKEUP
  sleepers = true;   /* store(sleepers, 1) */
  KW;
  if
  :: atomic { head != cursor[me] -> w = 0 }; goto top   /* something came meanwhile */
  :: else
  fi;
#else
  if
  :: atomic { head != cursor[me] -> w = 0 }; goto top
  :: else
  fi;
  sleepers = true;
  KW;
#endif
  atomic {   /* FUTEX_WAIT: returns at once when the word moved */
    if
    :: word == w -> asleep[me] = true
    :: else
    fi;
    w = 0
  };
end_sleep:
  if
  :: !asleep[me]
  :: MAY_END_EARLY -> asleep[me] = false   /* timeout or a signal */
  :: lives > 0 -> goto killed
  fi;
  goto top;
killed:
  atomic {
    asleep[me] = false;
    cursor[me] = NONE;
    lives--;
    h = 0; s = 0; w = 0
  };
  cursor[me] = head;   /* a new observer: CurrentChangeCursor */
  goto top
}

init {
  atomic {
    cursor[0] = NONE;
    cursor[1] = NONE;
    run Writer(0, CHANGES0);
    run Writer(1, CHANGES1);
    run Waiter(0);
    if
    :: WAITERS > 1 -> run Waiter(1)
    :: else
    fi
  }
}

#ifdef QUIET
/* When nothing can move any more, every waiter is asleep and must owe
 * nothing: a sleeper with a completed change due to it was never woken. */
active proctype Quiet() {
end_quiet:
  timeout -> assert(!OWED(0) && !OWED(1))
}
#endif
