/* The control protocol of src/chronels_ru.cpp, for spin; names follow the
 * code. Two records, each created, set and deleted by its sender through
 * control requests, except that record 2, once armed, is deleted by its own
 * callback; the kernel queues at most one expiry per record. main starts
 * generation 1, may end it (chronel_shutdown, chronel_init, an outside
 * SIGIO) and start generation 2. Steps are folded where no other thread
 * could tell: a ctl_lock section is one step, as is a step on state no
 * other thread reaches yet. Checked: every touch of a record finds it
 * allocated; a request runs once, on the generation it was queued to; no
 * process is left blocked. Variants:
 *   BROKEN=1  send_request queues to a `current` read without ctl_lock;
 *   BROKEN=2  release_record frees at once, without the tombstone;
 *   BROKEN=3  no reference for a set in progress: record 2's callback
 *             frees it while its sender is still leaving wait_while;
 *   OVERLAP   generation 2 starts while generation 1 still runs, as
 *             chronel_init allows (otherwise live_threads stays below 2). */
#define NREC 2
mtype = { CREATE, SETTIME, DELETE, PENDING, FAIL, PASS };

bool alive[NREC + 1] = true;     /* by new_record, before anyone sees it */
byte refs[NREC + 1] = 1;         /* its life, and a set in progress */
bool callback[NREC + 1] = true;  /* record 2's deletes it; record 1's is empty */
mtype command[NREC + 1];
mtype outcome[NREC + 1];         /* create_state or settime_state, as posted */
bool needs_tombstone[NREC + 1];
bool armed[NREC + 1];            /* to expire once: a stale expiry needs no more */
byte sent_to[NREC + 1];          /* generation its request went to, till run */

byte current;                    /* generation taking requests, 0: none */
chan ctrl[3] = [NREC] of { byte };    /* control signals aimed at a thread */
bool quit[3];
chan expiry = [2 * NREC] of { byte }; /* r, or NREC + r: r's tombstone; r's outlives
                                      * timer_delete, as older kernels keep it */
bool sigio, gate;                /* gate: the start-up gate, held by chronel_init */
byte live_threads;
byte deferred;                   /* bit r: r's tombstone waits for one thread left */

#define touch(r) assert(alive[r])
#define drop_ref(r) atomic { touch(r); refs[r]--; alive[r] = refs[r] > 0 }
#define fire(r) atomic { armed[r] -> armed[r] = false; expiry ! r }
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

inline send_request(r, cmd, ok) {
    atomic { command[r] = cmd; outcome[r] = PENDING; g = current;
#if BROKEN == 1
    }; atomic { /* that thread may have ended meanwhile */
#endif
        ok = g != 0; if :: ok -> sent_to[r] = g; ctrl[g] ! r :: else fi; g = 0 }
}

/* send_request, then wait_while: woken with the mutex, reads, unlocks (a touch too) */
inline request(r, cmd, ok, s) {
    send_request(r, cmd, ok);
    if :: ok -> atomic { outcome[r] != PENDING -> touch(r); s = outcome[r] }; touch(r) :: else fi
}

inline execute_request(g, r, ending) { /* under the record's mutex */
    touch(r); assert(sent_to[r] == g); sent_to[r] = 0;
    if
    :: command[r] == CREATE -> outcome[r] = FAIL /* ending, or timer_create refused */
    :: command[r] == CREATE && !ending -> outcome[r] = PASS
    :: command[r] == SETTIME -> armed[r] = !ending; outcome[r] = (ending -> FAIL : PASS)
    :: command[r] == DELETE -> armed[r] = false; outcome[r] = PASS;
        needs_tombstone[r] = nempty(expiry) || live_threads > 1 /* stale_possible */
    fi
}

proctype timer_thread(byte g) {
    byte r, taken; bool tomb;
    atomic { current = g; live_threads++; gate = false }
end_wait:
    do /* sigwaitinfo: its own signals first, then the lowest number */
    :: quit[g] -> break
    :: atomic { !quit[g] && nempty(ctrl[g]) -> ctrl[g] ? r; execute_request(g, r, false) }
    :: atomic { !quit[g] && empty(ctrl[g]) && sigio -> sigio = false }; break
    :: atomic { !quit[g] && empty(ctrl[g]) && !sigio && nempty(expiry) -> expiry ? r };
        if
        :: r > NREC -> /* take_tombstone: r's earlier expiries are all taken */
            atomic { r = r - NREC; touch(r); tomb = live_threads > 1;
                if :: tomb -> deferred = deferred | (1 << r) :: else fi };
            if :: !tomb -> drop_ref(r) :: else fi
        :: else -> atomic { touch(r); tomb = callback[r] && r == 2 }; /* the callback slot */
            if
            :: tomb -> /* which deletes record 2 in place: timer_delete, stale_possible */
                atomic { touch(r); callback[r] = false; armed[r] = false; tomb = nempty(expiry) };
                tomb = tomb || live_threads > 1;
                release_record(r, tomb)
            :: else fi
        fi
    od;
    /* end_generation: unhook, fail what is still queued here, leave */
    atomic { if :: current == g -> current = 0 :: else fi }
    do
    :: atomic { ctrl[g] ? r -> execute_request(g, r, true) }
    :: empty(ctrl[g]) -> break
    od;
    atomic { live_threads--; if :: live_threads <= 1 -> taken = deferred; deferred = 0 :: else fi }
    if :: taken & 2 -> tombstone(1) :: else fi;
    if :: taken & 4 -> tombstone(2) :: else fi
}

proctype sender(byte r) {
    bool ok, tomb; byte g; mtype s;
    request(r, CREATE, ok, s);
    if :: !ok || s == FAIL -> release_record(r, false); goto done :: else fi;
    set_ref(r); /* __chronel_settime */
    request(r, SETTIME, ok, s);
    ok = ok && s == PASS;
    set_unref(r);
    if :: r == 2 && ok -> goto done :: else fi; /* its callback deletes it */
    callback[r] = false; /* __chronel_delete */
    request(r, DELETE, ok, s);
    if :: ok -> atomic { touch(r); tomb = needs_tombstone[r] }; release_record(r, tomb)
    :: else /* not sent: the record stays, for good */ fi;
done: skip
}

active proctype kernel() { end: do :: fire(1) :: fire(2) od }

inline retire() { atomic { if :: current != 0 -> quit[current] = true; current = 0 :: else fi } }

inline start(g) { /* chronel_init */
#ifndef OVERLAP
    live_threads == 0;
#endif
    atomic { gate = true; run timer_thread(g) }; !gate
}

active proctype main_thread() {
    start(1);
    atomic { run sender(1); run sender(2) }
    if
    :: skip
    :: retire(); if :: skip :: start(2) fi /* chronel_shutdown, or chronel_init */
    :: sigio = true; retire(); start(2)    /* an outside SIGIO, then chronel_init */
    fi
}
