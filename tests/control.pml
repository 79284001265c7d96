/* SPDX-License-Identifier: MIT */
/* The control protocol of src/chronels_ru.cpp, for spin; names follow the
 * code. Two records, each created, set and deleted by its sender through
 * control requests, except that record 2, once armed, is deleted by its own
 * callback; the kernel queues at most one expiry per record. main starts
 * generation 1; then, after an outside SIGIO or not, it shuts that one down
 * (chronel_shutdown) and may start generation 2 (chronel_init), or starts 2
 * and may then shut it down or start 3; an init may fail to start its thread.
 * A new thread, at its registration, becomes current and retires the current
 * one; it is sent requests at once, but serves only once its predecessor has
 * ended: passed what was left queued to it on to the current thread, or, with
 * none, failed it, and announced its end. Steps are folded where no other
 * thread could tell: a ctl_lock section is one step, as is a step on state no
 * other thread reaches yet. Checked: every touch of a record finds it
 * allocated; a request runs once, on the generation it was last queued to;
 * one thread at most serves, and one at most executes a request, a callback
 * or a delete in place; no process is left blocked; a request made while an
 * init replaces a serving thread fails only when a shutdown or an outside
 * SIGIO has ended a thread since. Variants:
 *   BROKEN=1  send_request queues to a `current` read without ctl_lock;
 *   BROKEN=2  release_record frees at once, without the tombstone;
 *   BROKEN=3  no reference for a set in progress: record 2's callback
 *             frees it while its sender is still leaving wait_while;
 *   BROKEN=4  a thread announces its end before settling what is left;
 *   BROKEN=5  chronel_init retires the current thread before the new one
 *             registers (the earlier order): requests meanwhile find none;
 *   BROKEN=6  a thread that ends fails what is left although a successor
 *             is registered (the earlier drain). */
#define NREC 2
#define NGEN 3
mtype = { CREATE, SETTIME, DELETE, PENDING, FAIL, REFUSED, PASS };

bool alive[NREC + 1] = true;     /* by new_record, before anyone sees it */
byte refs[NREC + 1] = 1;         /* its life, and a set in progress */
bool callback[NREC + 1] = true;  /* record 2's deletes it; record 1's is empty */
mtype command[NREC + 1];
mtype outcome[NREC + 1];         /* create_state or settime_state, as posted;
                                  * REFUSED: timer_create's own failure */
bool needs_tombstone[NREC + 1];
bool armed[NREC + 1];            /* to expire once: a stale expiry needs no more */
byte sent_to[NREC + 1];          /* generation its request is queued to, till run */

byte current;                    /* generation taking requests, 0: none */
byte youngest;                   /* the live generation started last, 0: none */
byte successor[NGEN + 1];        /* the one started next while this one lives */
bool quit[NGEN + 1], may_serve[NGEN + 1]; /* may_serve: its predecessor has ended */
chan ctrl[NGEN + 1] = [NREC] of { byte }; /* control signals aimed at a thread */
chan expiry = [2 * NREC] of { byte }; /* r, or NREC + r: r's tombstone; r's outlives
                                      * timer_delete, as older kernels keep it */
bool sigio, gate;                /* gate: the start-up gate, held by chronel_init */
byte serving, executing;         /* threads doing so, for the checks alone */
bool replacing;                  /* an init is under way, and a thread was serving */
bool during[NREC + 1];           /* its request was made meanwhile, and no thread has
                                  * ended since for want of a successor (a shutdown, or
                                  * an outside SIGIO): then it must not fail */

#define touch(r) assert(alive[r])
#define drop_ref(r) atomic { touch(r); refs[r]--; alive[r] = refs[r] > 0 }
#define fire(r) atomic { armed[r] -> armed[r] = false; expiry ! r }
#define begin_executing atomic { executing++; assert(executing == 1) }
#define announce_end(g) /* wakes the successor, if one waits */ \
    if :: successor[g] -> may_serve[successor[g]] = true :: else -> youngest = 0 fi
#if BROKEN == 2
#define tombstone(r) drop_ref(r) /* at once */
#else
#define tombstone(r) atomic { touch(r); expiry ! NREC + r } /* takes the life reference */
#endif
#define release_record(r, tomb) if :: tomb -> tombstone(r) :: else -> drop_ref(r) fi
#if BROKEN == 3
#define set_ref(r) skip
#define set_unref(r) skip
#else
#define set_ref(r) atomic { touch(r); refs[r]++ }
#define set_unref(r) drop_ref(r)
#endif
/* Under ctl_lock: queues the stop, and no request goes there any more */
#define retire_current if :: current -> quit[current] = true; current = 0 :: else fi
/* A thread stops with no successor asked for: what is queued to it may fail */
#define stopped replacing = false; during[1] = false; during[2] = false

inline send_request(r, cmd, ok) {
    atomic { command[r] = cmd; outcome[r] = PENDING; g = current;
        during[r] = replacing;
#if BROKEN == 1
    }; atomic { /* that thread may have ended meanwhile */
#endif
        ok = g != 0; if :: ok -> sent_to[r] = g; ctrl[g] ! r :: else fi; g = 0 }
}

/* send_request, then wait_while: woken with the mutex, reads, unlocks (a touch too) */
inline request(r, cmd, ok) {
    send_request(r, cmd, ok);
    if
    :: ok -> atomic { outcome[r] != PENDING -> touch(r); ok = outcome[r] == PASS;
        assert(outcome[r] != FAIL || !during[r]) }; touch(r)
    :: else -> assert(!during[r])
    fi;
    during[r] = false
}

inline execute_request(g, r, ending) { /* under the record's mutex */
    begin_executing; touch(r); assert(sent_to[r] == g); sent_to[r] = 0;
    if
    :: command[r] == CREATE && ending -> outcome[r] = FAIL
    :: command[r] == CREATE && !ending -> outcome[r] = REFUSED
    :: command[r] == CREATE && !ending -> outcome[r] = PASS
    :: command[r] == SETTIME -> armed[r] = !ending; outcome[r] = (ending -> FAIL : PASS)
    :: command[r] == DELETE -> armed[r] = false; outcome[r] = PASS;
        needs_tombstone[r] = nempty(expiry) /* stale_possible */
    fi;
    executing--
}

proctype timer_thread(byte g) {
    byte r; bool tomb;
    atomic { retire_current; current = g; gate = false; /* requests come here from now on */
        if :: youngest -> successor[youngest] = g :: else -> may_serve[g] = true fi; youngest = g }
    atomic { may_serve[g] -> serving++; assert(serving == 1) } /* till its end is announced */
end_wait:
    do /* sigwaitinfo: its own signals first, then the lowest number */
    :: quit[g] -> break /* also when retired before it could serve */
    :: atomic { !quit[g] && nempty(ctrl[g]) -> ctrl[g] ? r; execute_request(g, r, false); r = 0 }
    :: atomic { !quit[g] && empty(ctrl[g]) && sigio -> sigio = false }; break
    :: atomic { !quit[g] && empty(ctrl[g]) && !sigio && nempty(expiry) -> expiry ? r;
        if /* dispatched in the same step, as no other thread serves */
        :: r > NREC -> drop_ref(r - NREC) /* a tombstone: r's earlier expiries are all taken */
        :: else -> begin_executing; touch(r); tomb = callback[r] && r == 2; /* the callback slot */
            if :: !tomb -> executing-- :: else fi /* record 1's is empty */
        fi; r = 0 };
        if
        :: tomb -> /* record 2's deletes it in place: timer_delete, stale_possible */
            atomic { touch(2); callback[2] = false; armed[2] = false; tomb = nempty(expiry) };
            atomic { release_record(2, tomb); executing--; tomb = false }
        :: else fi
    od;
    /* end_generation: unhook, pass on or fail what is still queued here, stop serving, announce */
    atomic { if :: current == g -> current = 0; stopped :: else fi } /* ended unasked */
#if BROKEN == 4
    atomic { announce_end(g) } /* before the drain too */
#endif
    do
    :: atomic { ctrl[g] ? r -> if
#if BROKEN != 6
        :: current -> sent_to[r] = current; ctrl[current] ! r /* re-queued, under ctl_lock */
#endif
        :: else -> execute_request(g, r, true) /* no successor: failed, or a delete done */
        fi; r = 0 }
    :: empty(ctrl[g]) -> break
    od;
    atomic { serving--; announce_end(g) }
}

proctype sender(byte r) {
    bool ok, tomb; byte g;
    request(r, CREATE, ok);
    if :: !ok -> release_record(r, false); goto done :: else fi;
    set_ref(r); request(r, SETTIME, ok); set_unref(r); /* __chronel_settime */
    if :: r == 2 && ok -> goto done :: else fi; /* its callback deletes it */
    callback[r] = false; /* __chronel_delete */
    request(r, DELETE, ok);
    if :: ok -> atomic { touch(r); tomb = needs_tombstone[r] }; release_record(r, tomb)
    :: else /* not sent: the record stays, for good */ fi;
done: skip
}

active proctype kernel() { end: do :: fire(1) :: fire(2) od }

inline chronel_init(g) { /* holds the gate till the new thread has registered */
    atomic { gate = true; replacing = current != 0;
#if BROKEN == 5
    }; atomic { retire_current;
#endif
        if :: run timer_thread(g) :: gate = false /* pthread_create failed */ fi };
    atomic { !gate -> replacing = false }
}

inline chronel_shutdown() { atomic { retire_current; stopped } }

active proctype main_thread() {
    atomic { gate = true; run timer_thread(1) }; !gate;
    atomic { run sender(1); run sender(2) }
    if
    :: skip
    :: if :: sigio = true :: skip fi; /* an outside SIGIO, or none */
        if
        :: chronel_shutdown(); if :: skip :: chronel_init(2) fi
        :: chronel_init(2); if :: skip :: chronel_shutdown() :: chronel_init(3) fi
        fi
    fi
}
