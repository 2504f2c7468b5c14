/*
 * The attach and detach protocol of named_segment.cc, as a model for spin.
 *
 * Three processes open and close the table. Process 0 also opens again while
 * open, keeping its old hold until the new one is attached, as the library
 * does: two holders in one process. Any process may be killed between any
 * two steps (the kernel then drops its locks and descriptors), and process 0
 * may instead be stopped for good while it holds the gate.
 *
 * One atomic step stands for one system call, or for a few calls where a
 * kill between them leaves the same state as a kill before them (closing a
 * descriptor that the kernel would close anyway, unlinking a stale object
 * that the next attach would replace anyway).
 *
 * The last holder removes the lock file too (after the segment), and so does
 * an attach that fails with the name free: once the last holder has closed,
 * nothing is left.
 *
 * Checked:
 *   - every hold in use is on the object at NAME: there is never a second
 *     segment under the name while anyone holds one;
 *   - a stale segment met by an attach that made the lock file itself is
 *     never older than that lock file, so it is taken as ours (a segment
 *     older than a lock file we made is another program's object and is
 *     refused; with -DREMOVER that may happen, and is explored);
 *   - when every process has closed, without kills, stops, gates given up on
 *     or a removal of the files, neither the segment nor the lock file is
 *     left;
 *   - (with -DOBSERVER) an observer, which holds byte 1 and never creates or
 *     removes anything, attaches only to a segment at NAME that a program
 *     holds, and never changes what the programs decide;
 *   - an attach never lands on an object whose holders have all gone (its
 *     content would not be zeros), and no unlink removes another's object;
 *   - no invalid end state, and (with -DLIVENESS) the claim others_finish
 *     under weak fairness:
 *     processes 1 and 2 finish all their calls even while process 0 sleeps
 *     on the gate for ever, so nobody waits for ever.
 *
 * Holds are taken only after a read lock AND a check that the locked object
 * is still the one at NAME; without that check a removal of the files lets
 * two processes work under two lock files at once, and one of them can keep
 * an object that the other has already unlinked.
 *
 * With -DREMOVER someone removes both files under the running table once,
 * as `rm /dev/shm/...` does. Holds taken before may keep the old object; the
 * check is then that everyone who attaches after the removal meets on one.
 */

#define NP 3           /* processes */
#define NS 2           /* hold descriptors per process: old and new on a repeated Open */
#define ND 6           /* NP * NS */
#ifdef REMOVER
#define NI 4           /* segment objects that can exist at once */
#else
#define NI 3
#endif
#define NG 4           /* lock files that can exist at once: one per process and one at the path */
#define NONE 255
#ifndef P0_CALLS
#define P0_CALLS 3     /* Opens and Closes of each process */
#endif
#ifndef P1_CALLS
#define P1_CALLS 2
#endif
#ifndef P2_CALLS
#define P2_CALLS 2
#endif
#ifndef LIVES
#define LIVES 1        /* times each process may be killed (it then starts again) */
#endif

#define BIT(d) (1 << (d))


/* A kill point: SIGKILL may end the process here. */
#define KP if :: lives > 0 -> goto killed :: true fi

/* A stop point, while holding the gate: process 0 may stop here for good. */
#define SP if :: p == 0 && !stopped -> stopped = true; untidy = true; goto stop :: true fi

/* The shared-memory file system */
byte seg_path = NONE;      /* object linked at NAME */
byte gate_path = NONE;     /* object linked at NAME.lock */
byte rd[NI];               /* descriptors with a read lock on byte 0, as a bit set */
byte wr[NI];               /* descriptor with the write lock on byte 0 */
byte gate_owner[NG];       /* process with the gate's write lock */

/* Per process p and hold descriptor d = p * NS + slot */
byte fd[ND];               /* segment object the descriptor refers to */
bool held[ND];             /* attached and mapped: values go through it */
byte gfd[NP];              /* lock file the process has open */
bool stopped;              /* process 0 is stopped (SIGSTOP, a debugger) */
bool finished[NP];         /* the process made all its calls and exited */
bool made[NP];             /* the process created the lock file it entered */
bool older[NI];            /* the object was at NAME when a lock file was created */

/* Ghosts, for the checks only */
byte claim[NP];            /* object found held by someone: the attach takes effect here */
bool everheld[NI];         /* someone held it, so it may carry values */
bool abandoned[NI];        /* all its holders have gone */
bool removed;              /* the files were removed under the table */
byte unlinking;            /* processes between finding their object at NAME and unlinking it */
bool untidy;               /* a kill, a stop or a gate given up on may leave files behind */
byte exited;               /* processes that made all their calls and exited */
bool after[ND];            /* the hold's attach began after the removal */

#define HELD_OK(d) (!held[d] || fd[d] == seg_path)
#define ONE_SEGMENT (HELD_OK(0) && HELD_OK(1) && HELD_OK(2) && HELD_OK(3) && HELD_OK(4) && HELD_OK(5))

#define LATE(d) (held[d] && after[d])
#define MET(d, e) (!LATE(d) || !LATE(e) || fd[d] == fd[e])
#define MEET(d) (MET(d, 0) && MET(d, 1) && MET(d, 2) && MET(d, 3) && MET(d, 4) && MET(d, 5))
#define NEWCOMERS_MEET (MEET(0) && MEET(1) && MEET(2) && MEET(3) && MEET(4) && MEET(5))

/* Whatever process 0 does, stopping for good inside the gate included, the
 * others finish all their calls (check with weak fairness). */
#ifdef LIVENESS
ltl others_finish { <> (finished[1] && finished[2]) }
#endif

/* Checked wherever the object at NAME changes or a hold comes into use. */
#ifndef REMOVER
#define CHECK_PATH assert(ONE_SEGMENT)
#define CHECK_HOLD assert(ONE_SEGMENT)
#else
#define CHECK_PATH skip
#define CHECK_HOLD assert(NEWCOMERS_MEET)
#endif

#define CLAIMED(i) (claim[0] == i || claim[1] == i || claim[2] == i)

/* Marks an object abandoned once nobody holds it any more. */
inline settle(i) {
  if
  :: everheld[i] && rd[i] == 0 && wr[i] == NONE && !CLAIMED(i) -> abandoned[i] = true
  :: else
  fi
}

inline close_segment(d) {
  j = fd[d];
  if
  :: j != NONE ->
     rd[j] = rd[j] & ~BIT(d);
     if
     :: wr[j] == d -> wr[j] = NONE
     :: else
     fi;
     fd[d] = NONE;
     settle(j)
  :: else
  fi;
  j = 0
}

#define CAN_WRITE_LOCK(d) ((rd[fd[d]] & ~BIT(d)) == 0 && (wr[fd[d]] == NONE || wr[fd[d]] == d))
#define CAN_READ_LOCK(d) (wr[fd[d]] == NONE || wr[fd[d]] == d)

inline write_lock(d) {
  rd[fd[d]] = rd[fd[d]] & ~BIT(d);
  wr[fd[d]] = d
}

inline read_lock(d) {
  rd[fd[d]] = rd[fd[d]] | BIT(d);
  if
  :: wr[fd[d]] == d -> wr[fd[d]] = NONE
  :: else
  fi;
  everheld[fd[d]] = true
}

/* An object is free when neither a path nor a descriptor refers to it. */
#define SEG_FREE(i) (seg_path != i && fd[0] != i && fd[1] != i && fd[2] != i && \
                     fd[3] != i && fd[4] != i && fd[5] != i)
#define GATE_FREE(g) (gate_path != g && gfd[0] != g && gfd[1] != g && gfd[2] != g)

/* shm_open(O_CREAT | O_EXCL) of NAME into descriptor d, known to be free. */
inline create_segment(d) {
  j = 0;
  do
  :: j < NI && !SEG_FREE(j) -> j++
  :: j < NI && SEG_FREE(j) -> break
  :: j == NI -> assert(false)   /* the model needs more objects */
  od;
  rd[j] = 0;
  wr[j] = NONE;
  everheld[j] = false;
  abandoned[j] = false;
  older[j] = false;
  seg_path = j;
  fd[d] = j;
  j = 0;
  CHECK_PATH
}

inline close_gate(p) {
  if
  :: gfd[p] != NONE && gate_owner[gfd[p]] == p -> gate_owner[gfd[p]] = NONE
  :: else
  fi;
  gfd[p] = NONE
}

/* EnterGate: open (or create) NAME.lock, then try its write lock; then
 * check that the file is still the one at the path. The last holder may
 * remove the file between our open and our lock: -DSPLIT_GATE makes the open
 * and the lock two steps (a smaller configuration, since it multiplies the
 * states); otherwise they are one. Waiting is bounded: after a
 * failed try the deadline may pass at any time, and it has surely passed
 * after the second. ok tells whether the gate was taken. */
inline enter_gate(p, ok, record) {
  tries = 0;
  do
  :: atomic {
       made[p] = record && gate_path == NONE;
       if
       :: gate_path == NONE ->
          if   /* anything at NAME now is older than the new lock file */
          :: seg_path != NONE -> older[seg_path] = true
          :: else
          fi;
          g = 0;
          do
          :: g < NG && !GATE_FREE(g) -> g++
          :: g < NG && GATE_FREE(g) -> break
          :: g == NG -> assert(false)
          od;
          gate_owner[g] = NONE;
          gate_path = g
       :: else
       fi;
       gfd[p] = gate_path;
       g = 0
#ifdef SPLIT_GATE
     };
     atomic {
#endif
       if
       :: gate_owner[gfd[p]] == NONE -> gate_owner[gfd[p]] = p; ok = true
       :: else -> close_gate(p); ok = false
       fi
     };
     if
     :: ok ->
        if
        :: atomic { gate_path == gfd[p] -> tries = 0; break }
        :: atomic { gate_path != gfd[p] -> close_gate(p) }   /* removed under us: start over */
        fi
     :: !ok && tries == 0 -> tries = 1   /* sleep, then try again */
     :: !ok -> tries = 0; untidy = true; break   /* the deadline passed */
     fi
  od
}

/* Under the gate, with the name free: the lock file goes too. */
inline remove_gate(p) {
  atomic {
    if
    :: seg_path == NONE && gate_path == gfd[p] -> gate_path = NONE
    :: else
    fi
  }
}

/* shm_unlink by name removes whatever is at the path by then, which must
 * never be someone else's object. */
inline unlink_segment(d) {
  atomic {
    assert(seg_path == fd[d] || seg_path == NONE);
    seg_path = NONE;
    unlinking--;
    CHECK_PATH
  }
}

/* ReleaseHold, under the gate: the last holder unlinks NAME if it is its own. */
inline release_hold(p, d) {
  if
  :: atomic { CAN_WRITE_LOCK(d) -> write_lock(d) };
     KP;
     if
     :: atomic { seg_path == fd[d] -> unlinking++ };   /* still the object at the path */
        unlink_segment(d)
     :: atomic { seg_path != fd[d] -> skip }
     fi;
     KP;
     remove_gate(p)
  :: atomic { !CAN_WRITE_LOCK(d) -> skip }
  fi;
  atomic { close_segment(d); close_gate(p) }
}

/* AttachSegment into hold descriptor d; ok tells whether it succeeded. */
inline attach(p, d, ok) {
#ifdef REMOVER
  after[d] = removed;
#endif
  enter_gate(p, ok, true);
  if
  :: ok ->
     KP;
     SP;
reopen:
     atomic {
       fd[d] = seg_path;   /* shm_open of NAME; NONE is ENOENT */
       if
       :: fd[d] == NONE -> create_segment(d)
       :: fd[d] != NONE && CAN_WRITE_LOCK(d) -> write_lock(d); unlinking++
       :: else -> claim[p] = fd[d]   /* held by others: attach to it as it is */
       fi
     };
     if
     :: wr[fd[d]] == d ->   /* nobody held it: stale; unlink it and start afresh */
#ifndef REMOVER
        assert(!made[p] || !older[fd[d]]);
#else
        if
        :: atomic { made[p] && older[fd[d]] ->   /* refused as not ours */
             unlinking--;
             close_segment(d);
             if
             :: gate_path == gfd[p] -> gate_path = NONE
             :: else
             fi;
             close_gate(p);
             ok = false
           };
           goto refused
        :: true
        fi;
#endif
        unlink_segment(d);
        atomic {
          close_segment(d);
          if
          :: seg_path == NONE -> create_segment(d)
          :: else -> close_gate(p); ok = false   /* EEXIST: the name is not free */
          fi
        }
     :: else
     fi;
     KP;
     if
     :: !ok
     :: ok ->
     if
     :: atomic {   /* the holder seen may have gone meanwhile */
          CAN_READ_LOCK(d) ->
          if
          :: claim[p] != NONE && (rd[fd[d]] & ~BIT(d)) == 0 ->
             claim[p] = NONE; close_segment(d); goto reopen   /* look at it again */
          :: else -> read_lock(d); claim[p] = NONE
          fi
        };
        KP;
        if
        :: atomic { seg_path == fd[d] -> assert(!abandoned[fd[d]]) }   /* still at the path */
        :: atomic { seg_path != fd[d] -> close_segment(d) }; goto reopen
        fi;
        if
        :: atomic { held[d] = true; CHECK_HOLD; close_gate(p) }
        :: release_hold(p, d); ok = false   /* fstat or mmap failed */
        fi
     :: atomic { !CAN_READ_LOCK(d) ->   /* refused while another holds a write lock */
          claim[p] = NONE;
          close_segment(d);
          if
          :: seg_path == NONE && gate_path == gfd[p] -> gate_path = NONE   /* the name is free */
          :: else
          fi;
          close_gate(p);
          ok = false
        }
#ifndef REMOVER
     :: atomic { claim[p] == NONE ->   /* posix_fallocate failed on our new object */
          seg_path = NONE;
          CHECK_PATH;
          close_segment(d);
          if
          :: gate_path == gfd[p] -> gate_path = NONE   /* the name is free: no lock file either */
          :: else
          fi;
          close_gate(p);
          ok = false
        }
#endif
     fi
     fi
  :: else
  fi;
refused:
  skip
}

/* DetachSegment of hold descriptor d. */
inline detach(p, d) {
  held[d] = false;   /* munmap */
  enter_gate(p, gated, false);
  if
  :: gated -> KP; SP; release_hold(p, d)
  :: else -> atomic { close_segment(d) }   /* no unlink without the gate */
  fi
}

/* The kernel's part in a SIGKILL or an exit: every descriptor closes. */
inline crash(p) {
  atomic {
    held[p * NS] = false;
    held[p * NS + 1] = false;
    claim[p] = NONE;
    close_segment(p * NS);
    close_segment(p * NS + 1);
    close_gate(p)
  }
}

proctype Process(byte p; byte left) {
  byte cur = NONE, next, j, g, tries, lives = LIVES;
  bool ok, gated;
  do
  :: left > 0 && (p == 0 || cur == NONE) ->   /* only process 0 repeats Open */
     atomic { left--; next = (cur == 0 -> 1 : 0) };
     attach(p, p * NS + next, ok);   /* Open: attach anew, then let go of the old hold */
     if
     :: cur != NONE -> detach(p, p * NS + cur)
     :: else
     fi;
     atomic { cur = (ok -> next : NONE); next = 0; ok = false; gated = false; made[p] = false };
     KP
  :: left > 0 && cur != NONE ->   /* Close */
     left--;
     detach(p, p * NS + cur);
     atomic { cur = NONE; gated = false; made[p] = false };
     KP
  :: else -> break
killed:
     atomic {
       crash(p); lives--; untidy = true; made[p] = false;
       cur = NONE; next = 0; tries = 0; ok = false; gated = false
     }
  od;
  atomic {   /* exit: ending while open counts as a kill; _exit does not release */
    untidy = untidy || cur != NONE;
    crash(p);
    exited++
  };
  goto done;
stop:
end_stopped:
  false;   /* never resumed */
done:
#ifdef LIVENESS
  finished[p] = true
#else
  skip
#endif
}

#ifdef REMOVER
/* Removes both files once, at any moment but one: while a process stands
 * between finding its object at NAME and unlinking NAME. shm_unlink works by
 * name, so a removal there, followed by a complete attach of another process
 * under a new lock file, would let the unlink take that process's new
 * object. No system call closes that window of a few instructions; the
 * check covers every other moment. */
active proctype Remover() {
  atomic {
    unlinking == 0;
    seg_path = NONE;
    gate_path = NONE;
    removed = true;
    untidy = true   /* a racing attach may leave an empty lock file for the next Open */
  }
}
#endif

init {
  byte k;
  atomic {
    for (k : 0 .. NI - 1) { wr[k] = NONE }
    for (k : 0 .. NG - 1) { gate_owner[k] = NONE }
    for (k : 0 .. ND - 1) { fd[k] = NONE }
    for (k : 0 .. NP - 1) { gfd[k] = NONE; claim[k] = NONE }
    run Process(0, P0_CALLS);   /* Open, Open again, Close */
    run Process(1, P1_CALLS);   /* Open, Close */
    run Process(2, P2_CALLS)
  };
  /* Once everyone has exited, a tidy run has left nothing behind. */
end_all_exited:
  exited == NP;
  assert(untidy || (seg_path == NONE && gate_path == NONE))
}
