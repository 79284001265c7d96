#!/usr/bin/env python3
"""run.py --suite PRESET --kernel ppc|amd64|rt --work DIR

Runs the tests that `ctest --preset PRESET` runs on the host under a real
Linux 6.1 kernel in qemu (full-system, 2 CPUs); fails on any failure, hang or
missing result. The suite's build must exist."""
import argparse, ctypes, json, os, re, select, signal, subprocess, sys, time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(os.path.dirname(HERE))
SYSROOT = '/usr/powerpc-linux-gnu'
SCALE = {'ppc': 5, 'amd64': 4, 'rt': 4}  # emulation is slower: deadlines are the test's own times this
NOT_IN_GUEST = {  # tests that run no program of the suite, and why the guest cannot run them
    'run_spin.sh': 'model check: spin and a C compiler, no kernel involved',
    'expect_watchdog.sh': 'needs a shell, timeout and gdb, which the guest has not',
    'powerpc-linux-gnu-gcc': 'a compile-time check: runs the host\'s cross compiler'}
QEMU = {'ppc': ['qemu-system-ppc', '-M', 'ppce500', '-cpu', 'e500mc', '-m', '512'],
        'amd64': ['qemu-system-x86_64', '-m', '1G']}


def preset_env(name):
    """The environment a test preset gives its tests, with what it inherits."""
    with open(os.path.join(SRC, 'CMakePresets.json')) as f:
        p = {p['name']: p for p in json.load(f)['testPresets']}[name]
    parents = p.get('inherits', [])
    env = [preset_env(q) for q in ([parents] if isinstance(parents, str) else parents)]
    return {k: v for e in env + [p.get('environment', {})] for k, v in e.items()}


def suite(name):
    """The tests as ctest lists them: name, argv, deadline, directory, environment, skip patterns."""
    out = subprocess.run(['ctest', '--preset', name, '--show-only=json-v1'], cwd=SRC,
                         check=True, capture_output=True, text=True).stdout
    for t in json.loads(out)['tests']:
        props, argv = {p['name']: p['value'] for p in t.get('properties', [])}, t['command']
        if os.path.basename(argv[0]).startswith('qemu-'):  # the cross build's user-mode emulator goes
            argv = argv[next(i for i, a in enumerate(argv) if i and a[0] == '/' and not a.startswith(SYSROOT)):]
        yield (t['name'], argv, int(props.get('TIMEOUT', 120)), props.get('WORKING_DIRECTORY', '/tmp'),
               props.get('ENVIRONMENT', []), props.get('SKIP_REGULAR_EXPRESSION', []))


def closure(programs, ppc):
    """Guest path -> host path of the programs, their libraries and loader."""
    dirs = [SYSROOT + '/lib'] if ppc else ['/lib/x86_64-linux-gnu', '/usr/lib/x86_64-linux-gnu']
    files, todo = {}, list(programs)
    while todo:
        path = todo.pop()
        dyn = subprocess.run(['readelf', '-dlW', path], check=True, capture_output=True, text=True).stdout
        runpath = [d.replace('$ORIGIN', os.path.dirname(path))
                   for r in re.findall(r'R(?:UN)?PATH.*\[(.*)\]', dyn) for d in r.split(':')]
        wanted = [(i, SYSROOT + i if ppc else i) for i in re.findall(r'program interpreter: (.*)\]', dyn)]
        for lib in re.findall(r'\(NEEDED\).*\[(.*)\]', dyn):
            host = next((f'{d}/{lib}' for d in runpath + dirs if os.path.exists(f'{d}/{lib}')), None)
            if host is None:
                sys.exit(f'run.py: {lib}, needed by {path}, not found')
            wanted.append((host.replace(SYSROOT, '') if ppc else host, host))
        todo += [host for guest, host in wanted if guest not in files]
        files.update(wanted)
    return {**{p: p for p in programs}, **files}


def cpio(out, files, dirs):
    """A newc archive, as root's: files (guest path -> host path), directories, the console."""
    for path in list(files) + list(dirs):
        while (path := os.path.dirname(path)) != '/':
            dirs.add(path)
    entries = [(d, 0o040755, b'', 0) for d in sorted(dirs)] + [('/dev/console', 0o020600, b'', 0x501)]
    for guest, host in files.items():
        with open(host, 'rb') as f:
            entries.append((guest, 0o100755, f.read(), 0))
    with open(out, 'wb') as f:
        for ino, (name, mode, data, rdev) in enumerate(entries + [('TRAILER!!!', 0, b'', 0)], 1):
            name = name.lstrip('/').encode() + b'\0'
            f.write(b'070701' + b''.join(b'%08X' % v for v in (
                ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev >> 8, rdev & 255, len(name), 0)))
            f.write(name + b'\0' * (-(110 + len(name)) % 4) + data + b'\0' * (-len(data) % 4))


def console(cmd, log, seconds, done):
    """The guest's console lines until it powers off (or seconds pass; 30 more once done)."""
    # qemu dies with this script, even when ctest kills it on its deadline.
    pdeathsig = lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            preexec_fn=pdeathsig)
    deadline, buf = time.monotonic() + seconds, b''
    while time.monotonic() < deadline:
        if select.select([proc.stdout], [], [], 5)[0]:
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            log.write(chunk)
            *lines, buf = (buf + chunk).split(b'\n')
            for line in lines:
                yield line.decode(errors='replace').rstrip('\r')
                if done:
                    deadline = min(deadline, time.monotonic() + 30)
    proc.kill()
    proc.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--suite', required=True)
    ap.add_argument('--kernel', required=True, choices=SCALE)
    ap.add_argument('--work', required=True)
    a = ap.parse_args()
    ppc, work = a.kernel == 'ppc', os.path.abspath(a.work)
    os.makedirs(work, exist_ok=True)
    kernel = subprocess.run(['bash', HERE + '/kernel.sh', a.kernel, SRC + '/build/guest'],
                            check=True, capture_output=True, text=True).stdout.strip()
    subprocess.run(['powerpc-linux-gnu-gcc' if ppc else 'gcc', '-static', '-O2', '-Wall', '-o', work + '/init',
                    HERE + '/init.c'], check=True)

    # Rate floors hold on real machines, not in a loaded emulator. Not
    # CHRONELS_EMULATED: that sizes tests for qemu-user's 32 timers, and this
    # kernel has the real limits.
    env = {**preset_env(a.suite), 'CHRONELS_WATCHDOG_S': 30 * SCALE[a.kernel], 'CHRONELS_SLOW': 'qemu-system'}
    lines, tests, skipped, total = [f'E\t{k}={v}' for k, v in env.items()], {}, [], 600
    for name, argv, secs, wd, env, skip in suite(a.suite):
        why = next((NOT_IN_GUEST[b] for b in map(os.path.basename, argv[:2]) if b in NOT_IN_GUEST), None)
        if why:
            skipped.append(f'{name}: {why}')
            continue
        tests[name] = (argv[0], wd, skip)
        limit = max(secs, 60) * SCALE[a.kernel]
        lines.append('\t'.join(['T', name, str(limit), wd, str(len(env))] + env + argv))
        total += limit
    with open(work + '/tests', 'w') as f:
        f.write('\n'.join(lines) + '\n')
    files = closure({t[0] for t in tests.values()}, ppc)
    # The tests find the library's log statements in its source, by path.
    files.update({'/init': work + '/init', '/guest/tests': work + '/tests', SRC + '/src/chronels_ru.cpp':
                  SRC + '/src/chronels_ru.cpp'})
    cpio(work + '/initramfs.cpio', files, {t[1] for t in tests.values()})
    print(''.join(f'guest: not run here: {s}\n' for s in skipped), end='')

    qemu = QEMU['ppc' if ppc else 'amd64'] + ['-smp', '2', '-nographic', '-no-reboot', '-kernel', kernel,
                                               '-initrd', work + '/initramfs.cpio', '-append', 'console=ttyS0 quiet panic=-1']
    print('guest:', ' '.join(qemu), flush=True)
    start, results, done, output, text = time.monotonic(), {}, [], None, ''
    with open(work + '/console.log', 'wb') as log:
        for line in console(qemu, log, min(total, 3300), done):  # within the CTest test's 3600 s
            m = re.search(r'GUEST-(\S+) ?(.*)', line)
            key, rest = m.groups() if m else ('', '')
            if key == 'BOOT':
                print(f'guest: kernel {rest}, booted after {time.monotonic() - start:.1f} s', flush=True)
            elif key in ('OUTPUT-BEGIN', 'OUTPUT-END'):
                output, text = ([], text) if key == 'OUTPUT-BEGIN' else (None, '\n'.join(output))
            elif output is not None:
                output.append(line)
            elif key == 'RESULT':
                name, result, rc, secs = rest.split()
                if result == 'pass' and any(re.search(r, text) for r in tests[name][2]):
                    result = 'skip'
                results[name] = result
                if result != 'pass':  # why, in the test's own words
                    print('\n'.join('  | ' + s for s in text.splitlines()[-300:]))
                print(''.join(f'  | {s}\n' for s in text.splitlines() if s.startswith('[ stale')), end='')
                verdict = {'pass': 'Passed', 'skip': 'Skipped', 'hang': '***Timeout'}.get(result, f'***Failed ({rc})')
                print(f'{len(results):3}/{len(tests)} Test: {name} {"." * max(3, 60 - len(name))} '
                      f'{verdict} {float(secs):8.2f} sec', flush=True)
            elif key == 'DONE':
                done.append(True)
    failed = [t for t in tests if results.get(t) not in ('pass', 'skip')]
    print(''.join(f'guest: FAILED {t}: {results.get(t, "no result")}\n' for t in failed), end='')
    if not done:
        print(f'guest: the guest did not finish; see {work}/console.log')
    print(f'guest: {len(skipped)} not run here, {list(results.values()).count("skip")} skipped by themselves; '
          f'{time.monotonic() - start:.0f} s in the guest')
    print(f'guest: {100 * (len(tests) - len(failed)) // max(len(tests), 1)}% tests passed, '
          f'{len(failed)} tests failed out of {len(tests)}')
    return 1 if failed or not done or not tests else 0


if __name__ == '__main__':
    sys.exit(main())
