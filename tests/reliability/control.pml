/* What the threads of src/chronels_ru.cpp do with a record, for spin.
 *
 * Two records, two senders, up to two timer-thread generations, the kernel
 * firing expiries. Record 1 is created, armed and deleted by its sender
 * through control requests; record 2 is created and armed by its sender and
 * deleted by its own callback, in place on the timer thread. main starts
 * generation 1, then ends it by chronel_shutdown, by chronel_init (which
 * retires it) or by an outside SIGIO, and may start generation 2.
 *
 * Names follow the code: send_request, wait_while, execute_request,
 * release_record, must_park, end_generation, current, ctl_lock,
 * live_threads, deferred (the list threaded through deferred_next), quit
 * (the stop signal), ctrl (control signals aimed at one thread), expiry
 * (the process-wide queue of the expiry signal, tombstones included).
 *
 * Steps that only touch the model's own bookkeeping, or state no other
 * thread can see yet, are folded into one atomic step: it spares states
 * (the OVERLAP run must fit in a minute and 1 GB), and no other thread
 * could tell the difference.
 *
 * Checked: every touch of a record finds it allocated; a request runs once,
 * on the generation it was queued to; no process is left blocked (a sender
 * waiting for an outcome is an invalid end state).
 *
 * Variants (spin -D...):
 *   BROKEN=1  send_request reads `current` without ctl_lock and queues
 *             later, so a request can go to a thread that has ended.
 *   BROKEN=2  release_record frees at once, without the tombstone.
 *   BROKEN=3  no reference for a set in progress: record 2's callback,
 *             deleting it, frees it while its sender's chronel_settime is
 *             still leaving wait_while (the library's bug until 43c0c44).
 *   OVERLAP   generation 2 starts while generation 1 still runs, as
 *             chronel_init allows. A delete carried out by one generation
 *             cannot see, through sigpending, an expiry the other has taken
 *             and not yet dispatched; so while live_threads > 1 every
 *             release goes through a tombstone, and a tombstone taken then
 *             waits on `deferred` until a thread's end leaves one alive.
 *             Without OVERLAP, chronel_init waits for the old thread's end
 *             and live_threads never exceeds 1.
 */

#define NREC 2
#define NGEN 2
#define FIRES 1 /* expiries per timer: bounded, so that every run ends */

mtype = { CREATE, SETTIME, DELETE };
mtype = { INVALID, CREATE_FAIL, CREATED, SETTIME_FAIL, SETTIME_PASS };

/* records, 1..NREC */
bool alive[NREC + 1];            /* allocated and not yet freed */
bool parked[NREC + 1];           /* waiting for its tombstone */
bool timer[NREC + 1];            /* the system timer exists */
bool armed[NREC + 1];
bool callback[NREC + 1];
mtype command[NREC + 1];
mtype create_state[NREC + 1];
mtype settime_state[NREC + 1];
bool needs_tombstone[NREC + 1];
byte mutex[NREC + 1];            /* holder of the record's mutex, 0 free */
bool queued[NREC + 1];           /* its expiry signal is queued */
byte fires[NREC + 1];
byte sent_to[NREC + 1];          /* generation its request was queued to */
byte executed[NREC + 1];         /* times that request ran */
byte refs[NREC + 1];             /* its life, plus each set in progress */

/* timer threads */
byte current;                    /* generation taking new requests, 0: none */
bool ctl_lock;
chan ctrl[NGEN + 1] = [NREC] of { byte };
bool quit[NGEN + 1];
bool started[NGEN + 1];
bool ended[NGEN + 1];            /* past end_generation */
chan expiry = [2 * NREC] of { byte }; /* r, or NREC + r: r's tombstone */
bool sigio;
byte live_threads;               /* started and not past end_generation */
bool deferred[NREC + 1];         /* its tombstone waits for one thread left */

#define touch(r) assert(alive[r])
inline lock_ctl() { atomic { !ctl_lock -> ctl_lock = true } }
inline unlock_ctl() { ctl_lock = false }

/* The last reference out frees the record. */
#if BROKEN == 3
#define drop_ref(r) atomic { mutex[r] == 0 -> touch(r); alive[r] = false } /* lock, unlock, free */
#define set_ref(r) skip
#define set_unref(r) skip
#else
#define drop_ref(r) atomic { touch(r); refs[r]--; if :: refs[r] == 0 -> alive[r] = false :: else fi }
#define set_ref(r) refs[r]++
#define set_unref(r) drop_ref(r)
#endif

/* Parks the record behind its stale expiries (the life reference passes
 * to the tombstone), or drops the life reference. */
inline release_record(r, tomb) {
#if BROKEN == 2
    drop_ref(r)
#else
    if
    :: tomb -> atomic { touch(r); parked[r] = true; expiry ! NREC + r } /* the sigqueue */
    :: else -> drop_ref(r)
    fi
#endif
}

inline send_request(r, ok) {
#if BROKEN == 1
    g = current; /* no ctl_lock: the thread may end before the queueing */
    if
    :: g == 0 -> ok = false
    :: else -> executed[r] = 0; sent_to[r] = g; ctrl[g] ! r; ok = true
    fi
#else
    lock_ctl();
    if
    :: current == 0 -> ok = false /* ESRCH: "Sigqueue error" */
    :: else -> executed[r] = 0; sent_to[r] = current; ctrl[current] ! r; ok = true
    fi;
    unlock_ctl()
#endif
}

/* Sleeps on the record's condition until the outcome is posted, then
 * takes the mutex again to read it, and leaves. */
inline wait_while(r, slot, pending, me) {
    atomic { slot != pending && mutex[r] == 0 -> touch(r); mutex[r] = me };
    touch(r);
    mutex[r] = 0
}

inline execute_request(g, r, ending) {
    atomic {
        touch(r);
        mutex[r] == 0;
        assert(sent_to[r] == g);
        executed[r]++;
        assert(executed[r] == 1);
        if
        :: command[r] == CREATE && create_state[r] != CREATED ->
            if
            :: ending -> create_state[r] = CREATE_FAIL
            :: !ending -> timer[r] = true; create_state[r] = CREATED
            :: !ending -> create_state[r] = CREATE_FAIL /* timer_create refused */
            fi
        :: command[r] == DELETE ->
            timer[r] = false; armed[r] = false;
            /* must_park: expiry_pending (the signal number), then the count */
            needs_tombstone[r] = nempty(expiry) || live_threads > 1;
            create_state[r] = INVALID
        :: command[r] == SETTIME ->
            if
            :: ending -> settime_state[r] = SETTIME_FAIL
            :: else -> armed[r] = true; settime_state[r] = SETTIME_PASS
            fi
        :: else -> skip
        fi
    }
}

/* Record 2's callback: deletes its own timer in place. must_park's two
 * reads are separate steps here: sigpending first, then the count, so that
 * a thread which took an expiry before the sigpending was counted before. */
inline own_delete(r) {
    atomic { touch(r); callback[r] = false; timer[r] = false; armed[r] = false } /* timer_delete */
    tomb = nempty(expiry);
    tomb = tomb || live_threads > 1;
    release_record(r, tomb)
}

proctype timer_thread(byte g) {
    byte r, v;
    bool tomb, wait;
    bool taken[NREC + 1]; /* the deferred list, taken at the end */
    lock_ctl(); current = g; live_threads++; unlock_ctl();
    started[g] = true; /* opens the start-up gate */
end_wait:
    do /* sigwaitinfo: the thread's own queue first, lowest signal first */
    :: quit[g] -> break
    :: atomic { !quit[g] && nempty(ctrl[g]) -> ctrl[g] ? r }; atomic { execute_request(g, r, false); r = 0 }
    :: atomic { !quit[g] && empty(ctrl[g]) && sigio -> sigio = false }; break
    :: atomic { !quit[g] && empty(ctrl[g]) && !sigio && nempty(expiry) -> expiry ? v;
                if :: v <= NREC -> queued[v] = false :: else fi };
        if
        :: v > NREC -> /* a tombstone: every earlier expiry is gone */
            r = v - NREC; assert(alive[r] && parked[r]);
            /* but another thread may still hold one it took: wait for it.
             * One step under ctl_lock, which guards `deferred`; the code's
             * unlocked read before it only spares the lock: seeing one
             * thread, every thread that took an earlier expiry has ended. */
            atomic { !ctl_lock -> wait = live_threads > 1;
                if :: wait -> deferred[r] = true :: else fi };
            if
            :: wait -> skip
            :: else -> drop_ref(r)
            fi
        :: else ->
            r = v;
            touch(r); /* the callback slot */
            if
            :: callback[r] && r == 2 -> own_delete(r)
            :: else -> skip
            fi
        fi;
        atomic { r = 0; v = 0; tomb = false; wait = false } /* dead: let states merge */
    od;
    /* end_generation: unhook, then fail what is still queued here */
    lock_ctl();
    if :: current == g -> current = 0 :: else fi;
    unlock_ctl();
    do
    :: atomic { nempty(ctrl[g]) -> ctrl[g] ? r }; execute_request(g, r, true)
    :: empty(ctrl[g]) -> break
    od;
    /* This thread's last touch of any record is behind it: if at most one
     * thread is left, the tombstones that waited go round once more,
     * behind whatever is queued, for the remaining thread to free. */
    atomic { !ctl_lock -> live_threads--; /* one step under ctl_lock */
        if
        :: live_threads <= 1 -> /* take the list */
            r = 1;
            do
            :: r > NREC -> break
            :: else -> taken[r] = deferred[r]; deferred[r] = false; r++
            od
        :: else
        fi };
    r = 1;
    do
    :: r > NREC -> break
    :: else ->
        if :: taken[r] -> release_record(r, true) :: else fi;
        r++
    od;
    /* the locals are dead: cleared, so that ended threads' states merge */
    atomic { r = 0; v = 0; tomb = false; wait = false;
        taken[1] = false; taken[2] = false; ended[g] = true }
}

/* Sender of record r: create, settime, and for record 1 delete. */
proctype sender(byte r) {
    bool ok, tomb;
    byte g;
    atomic { /* not yet seen by any other thread */
        alive[r] = true; refs[r] = 1; callback[r] = true;
        create_state[r] = INVALID; command[r] = CREATE };
    send_request(r, ok);
    if
    :: !ok -> release_record(r, false); goto done
    :: else
    fi;
    wait_while(r, create_state[r], INVALID, 10 + r);
    if
    :: create_state[r] == CREATE_FAIL -> release_record(r, false); goto done
    :: else
    fi;
    atomic { /* __chronel_settime: a reference while the set is in progress */
        set_ref(r); settime_state[r] = INVALID; command[r] = SETTIME };
    send_request(r, ok);
    if
    :: ok -> wait_while(r, settime_state[r], INVALID, 10 + r)
    :: else
    fi;
    ok = ok && settime_state[r] == SETTIME_PASS; /* read before the drop */
    set_unref(r);
    if
    :: r == 2 && ok -> goto done /* armed: its callback deletes it */
    :: else
    fi;
    /* __chronel_delete through the timer thread */
    atomic { callback[r] = false; create_state[r] = CREATED; command[r] = DELETE };
    send_request(r, ok);
    if
    :: !ok -> goto done /* the record stays, for good (a known bug) */
    :: else
    fi;
    wait_while(r, create_state[r], CREATED, 10 + r);
    tomb = needs_tombstone[r];
    release_record(r, tomb);
done:
    skip
}

/* The kernel: an armed timer queues its expiry unless it is queued already;
 * a deleted timer's queued expiry stays (as older kernels keep it). */
#define fire(r) atomic { timer[r] && armed[r] && !queued[r] && fires[r] < FIRES -> queued[r] = true; fires[r]++; expiry ! r }
active proctype kernel() {
end_fire:
    do
    :: fire(1)
    :: fire(2)
    od
}

/* chronel_init while a thread runs, or chronel_shutdown: stop the thread
 * that takes requests. */
inline retire() {
    lock_ctl();
    if :: current != 0 -> quit[current] = true; current = 0 :: else fi;
    unlock_ctl()
}

/* chronel_init: start generation g, and wait at the gate until it serves.
 * Unless OVERLAP, generation 2 starts once generation 1 has ended. */
inline start(g) {
#ifndef OVERLAP
    g == 1 || ended[1];
#endif
    run timer_thread(g);
    started[g]
}

active proctype main_thread() {
    start(1);
    run sender(1);
    run sender(2);
    if
    :: skip                                   /* generation 1 to the end */
    :: retire(); if :: skip :: start(2) fi    /* chronel_shutdown, or init again */
    :: sigio = true; retire(); start(2)       /* outside SIGIO, then init */
    fi
}
