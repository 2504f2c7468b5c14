/*
 * The change log of change_log.cc (MarkChange, WaitForChanges and
 * CurrentChangeCursor), as a model for spin.
 *
 * A lane writer owns the one lane (a ring of LANE_CAP marks with a head
 * only it moves) and makes LANE_MARKS marks; a lane-less writer (one that
 * found every lane taken) appends LANELESS_MARKS marks to the sequenced
 * ring of CAP entries itself, under the drain lock. WAITERS waiters (one or
 * two) wait over and over, each with its cursor; waiter 1 has a filter that
 * refuses the lane-less writer's ident. A wait takes the drain lock, moves
 * the lane's new marks to the ring, reads the ring from its cursor, and
 * sleeps on the futex word when it found nothing.
 *
 * Every mark has an ident of its own (1 + its number), so that the checks
 * can follow each change; the protocol looks at idents only to tell the
 * resync mark and to filter.
 *
 * One atomic step stands for one atomic instruction or one system call.
 * Where a step only reads or writes what the drain lock guards (the ring's
 * entries, the drained counter, the caller's cursor) it is merged with the
 * next step that others can see: under the lock nobody else looks there.
 * An entry stored into the ring is seen by others only once head moves
 * past it, so the store and the head's store are one step.
 *
 * Atomics are taken as sequentially consistent, but for one order:
 *   - a lane writer's "store the lane head, then load sleepers" against a
 *     waiter's "store sleepers = 1, then look at the lanes". The writer has
 *     no fence there (MarkChange has only a compiler barrier), so its load
 *     may overtake its store, which waits in the store buffer meanwhile
 *     (modelled with -DSTORE_BUFFER). A waiter's first sleep in a wait (its
 *     nap) has no fence and ends by a short timeout at the latest: a writer
 *     that missed its flag costs it that much. Before a longer sleep the
 *     waiter calls membarrier(MEMBARRIER_CMD_GLOBAL_EXPEDITED) between its
 *     store and its look, which runs a full barrier on every CPU that runs
 *     a writer (one switched out got one with the switch) before it
 *     returns: it drains every store buffer, so the look that follows sees
 *     the head of a writer whose load already went by. When the kernel
 *     refuses the membarrier every sleep is such a nap (not modelled: a
 *     timeout, see TIMEOUTS).
 *   - the lane-less writer's append against the same look: it takes the
 *     lock, appends, unlocks, then runs a seq_cst fence before its load of
 *     sleepers.
 * The lane ring's entries are plain stores ordered by the lane head's
 * release store; a drainer re-reads the head after an acquire fence to
 * learn whether the owner overwrote what it read (x86 keeps the writer's
 * stores in order, which the SC model takes for granted).
 *
 * The drain lock is a word of the log that names its holder: a holder that
 * was killed is taken over by the next locker, which carries on (modelled
 * as the kill freeing it: nothing happens in between but others waiting).
 * Here it is a byte that names its owner. Its lock is timed (a stopped holder
 * must not hold the others for ever): a lane-less writer may give up,
 * counting its mark in `dropped`, which the next wait turns into a resync
 * before it counts it off (a new cursor leaves it alone); after giving up
 * it drops its marks for a while without trying, so a drop may come with
 * the lock free too. A waiter may give up on a holder, which is a resync
 * to its caller (its cursor stays): what changed since its last look is
 * unknown.
 *
 * Kills come after every step that changes shared state: a kill after a
 * mere load leaves the state a kill before it does, since the killed
 * process's own state goes with it. A killed writer simply stops: a mark
 * stored in its lane whose head it had not published yet is no change
 * (the value store before it is not modelled). A killed waiter is replaced
 * by a fresh one that starts where CurrentChangeCursor puts it (it locks,
 * drains, reads head, unlocks): it is owed only what is published after
 * that. A waiter killed in the middle of a drain (after appending some of
 * a lane's marks, before moving drained) leaves them to be appended again:
 * a change reported twice is allowed, a lost one is not. A returned wait
 * followed by the caller's next one is a return to the top of the loop.
 *
 * The futex: FUTEX_WAIT compares the word and queues the caller in one step
 * (the kernel does both under its bucket lock) and returns at once when the
 * word differs; FUTEX_WAKE wakes every caller queued at that moment. With
 * -DTIMEOUTS a sleep may also end by its timeout or a signal.
 *
 * A change is "published" when its lane head moved past it (or the ring's
 * head, for the lane-less writer) and "complete" when its MarkChange
 * returned. A waiter has "read" a change once it reported it, its filter
 * refused it, or a resync covered it (a resync makes the caller re-read
 * everything: every change published by then).
 *
 * Checked:
 *   - every entry a waiter reads is one a writer really marked, at the
 *     ring position it was appended at (never an entry overwritten by the
 *     ring's wrap); the cursor moves only over entries it read, or past a
 *     ring it lost with a resync;
 *   - a drain that moved anything but the mark of each lane position it
 *     read (a slot the owner overwrote meanwhile) ends in a resync mark;
 *   - (-DQUIET, without timeouts) when nothing can move any more, no waiter
 *     sleeps while a complete change is due to it: no lost wake-up;
 *   - (-DLIVENESS, ltl all_read, weak fairness) every change due to a
 *     waiter is eventually read by it. Without timeouts "due" means
 *     complete and sleeps end only by wake-ups; with timeouts it means
 *     published: a killed writer's change still reaches every waiter.
 *
 * -DWAKE_KILLS also kills a writer between taking the sleepers flag (the
 * exchange) and its FUTEX_WAKE. That writer has cleared the flag, so the
 * sleepers sleep on until their timeouts, and a later writer, seeing no
 * flag, does not wake them for its own complete change either: without
 * timeouts QUIET fails there. With timeouts every change is still read.
 * Every other kill is always on.
 *
 * -DSTORE_BUFFER lets the lane writer's load of sleepers overtake its store
 * of the lane head: the store is then published by itself later, or by a
 * waiter's membarrier, whichever comes first. No kill between the two: a
 * killed process's stores still leave its store buffer, as if it had been
 * killed just after.
 *
 * -DBACK_OFF lets the lane-less writer, once it gave up on the lock, drop
 * later marks with the lock free (its back-off); checked in the smaller
 * configurations, whose state space it doubles.
 *
 * Mutants, each of which spin must refute:
 *   -DLOST_WAKEUP     the waiter sets the sleepers flag after its last look;
 *   -DDRAIN_EARLY     the drainer moves drained before appending the marks,
 *                     so a kill in between loses them;
 *   -DRECHECK_GT      the drainer takes the lane as overwritten only when
 *                     its head moved more than LANE_CAP past the first
 *                     position read: the owner stores the mark of position
 *                     head into the slot of head - LANE_CAP before moving
 *                     head, so that slot is lost with the head exactly
 *                     LANE_CAP past it;
 *   -DRING_HEAD_FIRST the last look reads the ring's head before the lane
 *                     heads and drained counters: another waiter can drain
 *                     the lane in between, and the look sees neither;
 *   -DNO_MEMBARRIER   (with STORE_BUFFER) the sleep after the nap has no
 *                     membarrier either (or, which is the same, the nap does
 *                     not end by itself): a store still buffered is missed.
 */

#ifndef CAP
#define CAP 2             /* ring entries */
#endif
#ifndef LANE_CAP
#define LANE_CAP 2        /* lane entries */
#endif
#ifndef LANE_MARKS
#define LANE_MARKS 3      /* MarkChange calls of the lane writer: three overrun a lane of two */
#endif
#ifndef LANELESS_MARKS
#define LANELESS_MARKS 1  /* and of the lane-less writer */
#endif
#define NW 2              /* waiters at most */
#ifndef WAITERS
#define WAITERS 2         /* waiters run */
#endif
#ifndef WRITER_LIVES
#define WRITER_LIVES 1
#endif
#ifndef KILLABLE_WAITERS
#define KILLABLE_WAITERS 2
#endif
#ifndef WAITER_LIVES
#define WAITER_LIVES 1
#endif
#define RESYNC 15         /* the ring's "changes were lost here" */
#define NONE 255
#define WRITER_OWNS 3     /* the drain lock's owner: 1 + waiter, or the lane-less writer */

/* Idents: 1 + the change's number; the lane writer's come first. Waiter 1
 * does not want the lane-less writer's. */
#define PASS(w, ident) (!((w) == 1 && (ident) > LANE_MARKS))
#define BIT(ident) (1 << ((ident) - 1))

/* The shared object */
byte lane[LANE_CAP];   /* the lane's ring: ident, 0 never written */
byte lane_head;        /* marks published in the lane */
byte drained;          /* the lane's marks moved to the ring so far */
byte ring[CAP];        /* ident or RESYNC, 0 never written */
byte head;             /* next position of the ring */
byte owner;            /* the drain lock: 0 free */
byte dropped;          /* marks_dropped: marks that could not go in */
byte word;             /* the futex word */
bool sleepers;         /* some waiter may sleep on word */
byte buffered;         /* STORE_BUFFER: the lane head waiting in the writer's store buffer, 0 none */

/* The kernel's futex queue */
bool asleep[NW];

/* Per waiter; global so that the claims can see it */
byte cursor[NW];       /* NONE until CurrentChangeCursor returned */

/* Ghosts, for the checks only */
byte ring_pos[CAP];    /* 1 + the position the entry was appended at */
byte made;             /* marks (bits by ident) stored by their writer */
byte published;        /* changes whose head moved past them */
byte complete;         /* changes whose MarkChange returned */
byte seen[NW];         /* changes read by the waiter, or published before it started */

#ifdef TIMEOUTS
#define DUE published
#else
#define DUE complete
#endif
#define OWED(w) (cursor[w] != NONE && (DUE & ~seen[w]) != 0)

#ifdef LIVENESS
ltl all_read { [] ((OWED(0) -> <> !OWED(0)) && (OWED(1) -> <> !OWED(1))) }
#endif

/* A kill point of a writer. The kernel's part is to free the drain lock if
 * the writer holds it. */
#define WK if :: lives > 0 -> goto killed :: true fi
#ifdef WAKE_KILLS
#define WK_WAKE WK
#else
#define WK_WAKE skip
#endif

/* Under the drain lock: an entry and the head that publishes it. */
#define APPEND(ident) \
  ring[head % CAP] = ident; ring_pos[head % CAP] = head + 1; head++

/* After a writer published `ident`: load sleepers; when set,
 * exchange(sleepers, 0), and when that took it, bump the word and
 * FUTEX_WAKE all. The change is complete when this returns. */
inline wake_sleepers(ident) {
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
          complete = complete | BIT(ident)
        }
     :: atomic { !sleepers -> complete = complete | BIT(ident) }
     fi
  :: atomic { !sleepers -> complete = complete | BIT(ident) }
  fi
}

/* A store of the lane head leaves the writer's store buffer. */
inline drain_store_buffer() {
  if
  :: buffered != 0 ->
     lane_head = buffered;
     published = published | BIT(buffered);
     buffered = 0
  :: else
  fi
}

proctype LaneWriter() {
  byte k = 0, lives = WRITER_LIVES;
#ifdef STORE_BUFFER
  bool early;
#endif
  do
  :: k < LANE_MARKS ->
     atomic {   /* the entry at the lane's head */
       lane[k % LANE_CAP] = k + 1;
       made = made | BIT(k + 1)
     };
     WK;
     atomic {   /* store(lane head + 1), released */
       lane_head = k + 1;
       published = published | BIT(k + 1)
     };
     WK;
     /* a compiler barrier only: the sleeper's membarrier orders it */
     wake_sleepers(k + 1);
     k++
#ifdef STORE_BUFFER
  :: k < LANE_MARKS ->
     atomic {   /* the entry at the lane's head */
       lane[k % LANE_CAP] = k + 1;
       made = made | BIT(k + 1)
     };
     WK;
     atomic {   /* load(sleepers), while store(lane head + 1) waits in the buffer */
       early = sleepers;
       buffered = k + 1
     };
     atomic { drain_store_buffer() };   /* unless a membarrier drained it */
     WK;
     if
     :: early ->
        if
        :: atomic { sleepers -> sleepers = false };   /* exchange(sleepers, 0) */
           WK_WAKE;
           word++;
           WK_WAKE;
           atomic {   /* FUTEX_WAKE all */
             asleep[0] = false;
             asleep[1] = false;
             complete = complete | BIT(k + 1)
           }
        :: atomic { !sleepers -> complete = complete | BIT(k + 1) }
        fi
     :: else -> complete = complete | BIT(k + 1)
     fi;
     early = false;
     k++
#endif
  :: k < LANE_MARKS && lives > 0 -> goto killed
  :: else -> break
  od;
  goto done;
killed:
  lives--;
done:
  skip
}

proctype LanelessWriter() {
  byte j = 0, lives = WRITER_LIVES;
#ifdef BACK_OFF
  /* Once it gave up it may drop marks with the lock free. Never cleared:
   * the lock stays open to it as well, which is the back-off ended. */
  bool backs_off = false;
#endif
  do
  :: j < LANELESS_MARKS ->
     if
     :: atomic { owner == 0 -> owner = WRITER_OWNS };   /* lock */
        atomic {
          APPEND(LANE_MARKS + j + 1);
          made = made | BIT(LANE_MARKS + j + 1);
          published = published | BIT(LANE_MARKS + j + 1)
        };
        WK;
        owner = 0   /* unlock */
     :: atomic {   /* the timed lock gave up on a holder, or the writer backs
                    * off after an earlier give-up: count the mark as dropped */
#ifdef BACK_OFF
          (owner != 0 || backs_off) ->
          backs_off = true;
#else
          owner != 0 ->
#endif
          dropped++;
          made = made | BIT(LANE_MARKS + j + 1);
          published = published | BIT(LANE_MARKS + j + 1)
        };
        WK
     fi;
     /* a seq_cst fence, then load(sleepers) */
     wake_sleepers(LANE_MARKS + j + 1);
     j++
  :: j < LANELESS_MARKS && lives > 0 -> goto killed
  :: else -> break
  od;
  goto done;
killed:
  atomic {
    if
    :: owner == WRITER_OWNS -> owner = 0   /* robust: the kernel frees it */
    :: else
    fi;
    lives--
  };
done:
  skip
}

/* A kill point of a waiter: the kernel frees the drain lock if it holds it
 * and takes it off the futex queue; the flag it may have set stays. */
#define KW if :: lives > 0 -> goto killed :: true fi

#ifdef TIMEOUTS
#define MAY_END_EARLY true
#else
#define MAY_END_EARLY false
#endif

/* Lock, then DrainLane. A fresh waiter (CurrentChangeCursor) is owed what
 * is published after its load of the lane head. Taking the lock is merged
 * with that load: nothing another process does in between depends on
 * whether the lock was taken before it or with it. */
inline lock_and_drain() {
  atomic {   /* lock; load(lane head), acquire; drained is the lock's */
    owner == 0 -> owner = me + 1;
    h = lane_head;
    from = drained;
    if
    :: cursor[me] == NONE -> seen[me] = published
    :: else
    fi
  };
  if
  :: h != from ->
#ifdef DRAIN_EARLY
     drained = h;
     KW;
#endif
     if
     :: h - from > LANE_CAP -> lost = true; from = h - LANE_CAP
     :: else
     fi;
     p = from;
     do
     :: p != h ->
        v = lane[p % LANE_CAP];   /* load the lane's entry */
        atomic {
          bad = bad || v != p + 1;   /* not the mark made at p */
          APPEND(v);
          v = 0
        };
        KW;
        p++
     :: else -> break
     od;
     atomic {   /* fence; load(lane head): did the owner overwrite what was read? */
#ifdef RECHECK_GT
       if
       :: lane_head - from > LANE_CAP -> lost = true
       :: else
       fi;
#else
       if
       :: lane_head - from >= LANE_CAP -> lost = true
       :: else
       fi;
#endif
       assert(!bad || lost);
       bad = false;
       p = 0
     };
     if
     :: lost ->
        atomic { APPEND(RESYNC); lost = false };
        KW
     :: else
     fi;
#ifndef DRAIN_EARLY
     drained = h;
     KW;
#endif
     skip
  :: else
  fi;
  atomic { h = 0; from = 0 }
}

/* One WaitForChanges is the loop from `top`; returning and starting the
 * next wait is a return to `top` too. */
proctype Waiter(byte me) {
  byte h, from, p, v, t, w;
  byte lives = (me < KILLABLE_WAITERS -> WAITER_LIVES : 0);
  bool lost, bad, reported, resync;
start:   /* CurrentChangeCursor */
  lock_and_drain();
  atomic {   /* load(head); unlock */
    cursor[me] = head;
    owner = 0
  };
top:
  if
  :: atomic {   /* the timed lock gave up on a holder: resync */
       owner != 0 && owner != me + 1 -> seen[me] = seen[me] | published
     };
     goto top
  :: lock_and_drain();
     /* Marks dropped by a writer that gave up on the lock: a resync, then
      * counted off (a kill in between leaves them for the next wait). A
      * new cursor leaves them alone: it would step over the resync. */
     t = dropped;
     if
     :: t != 0 ->
        atomic { APPEND(RESYNC) };
        KW;
        atomic { dropped = dropped - t; t = 0 };
        KW
     :: else -> t = 0
     fi
  fi;
  atomic {   /* Collect; unlock */
    if
    :: head - cursor[me] > CAP ->   /* overwritten already: resync */
       resync = true;
       seen[me] = seen[me] | published
    :: else ->
       p = cursor[me];
       do
       :: p != head ->
          v = ring[p % CAP];
          assert(ring_pos[p % CAP] == p + 1 && v != 0);
          if
          :: v == RESYNC ->
             resync = true;
             seen[me] = seen[me] | published
          :: else ->
             assert(made & BIT(v));   /* a mark a writer made */
             seen[me] = seen[me] | BIT(v);
             if
             :: PASS(me, v) -> reported = true
             :: else
             fi
          fi;
          p++
       :: else -> break
       od;
       p = 0;
       v = 0
    fi;
    cursor[me] = head;
    owner = 0;
    if   /* kChanged: the caller waits again */
    :: reported || resync -> reported = false; resync = false; goto top
    :: else
    fi
  };
  w = word;   /* load(wake_word) */
#ifndef LOST_WAKEUP
  sleepers = true;   /* store(sleepers, 1) */
  KW;
#endif
  /* The nap: a sleep without the membarrier, which ends by its timeout at
   * the latest, whatever the look found. Waking up from it, or finding news
   * before it, is going back to the top; so the nap is modelled as going
   * back to the top at any time after the flag was set. The code naps only
   * in the first sleep of a wait, and only while its naps ended with news:
   * letting every sleep be a nap or a fenced one covers it. Without STORE_BUFFER a nap is a sleep that ends by its
   * timeout, which TIMEOUTS covers, and is left out. */
#ifdef STORE_BUFFER
  if
  :: w = 0; goto top
  :: atomic {   /* membarrier(MEMBARRIER_CMD_GLOBAL_EXPEDITED) */
       true;   /* the guard: an `else` in the first statement would be the outer one's */
#ifndef NO_MEMBARRIER
       drain_store_buffer()
#endif
     }
  fi;
#endif
  /* AnythingNew. The ring's head is looked at last: another waiter appends
   * a lane's marks before it moves drained, so a look that finds the lane
   * drained finds the appended marks after it. Whether the lane head or
   * drained is loaded first does not matter (spin finds no fault either
   * way). */
#ifdef RING_HEAD_FIRST
  if
  :: atomic { head != cursor[me] -> w = 0 }; goto top
  :: else
  fi;
#endif
  t = lane_head;   /* load(lane head), then load(drained) */
  if
  :: atomic { t != drained -> t = 0; w = 0 }; goto top
  :: atomic { t == drained -> t = 0 }
  fi;
  if   /* a dropped mark is news too; before the ring, whose resync for it comes first */
  :: atomic { dropped != 0 -> w = 0 }; goto top
  :: else
  fi;
#ifndef RING_HEAD_FIRST
  if
  :: atomic { head != cursor[me] -> w = 0 }; goto top
  :: else
  fi;
#endif
#ifdef LOST_WAKEUP
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
    if
    :: owner == me + 1 -> owner = 0   /* robust: the kernel frees it */
    :: else
    fi;
    asleep[me] = false;
    cursor[me] = NONE;
    seen[me] = 0;
    lives--;
    h = 0; from = 0; p = 0; v = 0; t = 0; w = 0;
    lost = false; bad = false; reported = false; resync = false
  };
  goto start   /* a new observer */
}

init {
  atomic {
    cursor[0] = NONE;
    cursor[1] = NONE;
    run LaneWriter();
    if
    :: LANELESS_MARKS > 0 -> run LanelessWriter()
    :: else
    fi;
    run Waiter(0);
    if
    :: WAITERS > 1 -> run Waiter(1)
    :: else
    fi
  }
}

#ifdef QUIET
/* When nothing can move any more, every waiter is asleep and must owe
 * nothing: a sleeper with a complete change due to it was never woken. */
active proctype Quiet() {
end_quiet:
  timeout -> assert(!OWED(0) && !OWED(1))
}
#endif
