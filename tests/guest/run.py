#!/usr/bin/env python3
"""Runs the tests that `ctest --preset SUITE` runs on the host, under a real
Linux 6.1 kernel in qemu (full-system, 2 CPUs), and fails on any failure,
hang or missing result.

run.py --suite PRESET --kernel ppc|amd64|rt --work DIR
The suite's build must exist (cmake --workflow --preset PRESET)."""
import argparse, json, os, re, select, shutil, subprocess, sys, time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(os.path.dirname(HERE))
PPC_SYSROOT = '/usr/powerpc-linux-gnu'
# Emulation is slower than the host: deadlines are the test's own, times this.
SCALE = {'ppc': 5, 'amd64': 4, 'rt': 4}
# Tests that are not one of the suite's programs, and why the guest has none.
NOT_IN_GUEST = {
    'run_spin.sh': 'model check: spin and a C compiler on the host, no kernel involved',
    'expect_watchdog.sh': 'needs a shell, timeout and gdb, which the guest has not',
}


def preset(kind, name):
    """A test preset from CMakePresets.json, with what it inherits merged."""
    with open(os.path.join(SRC, 'CMakePresets.json')) as f:
        presets = {p['name']: p for p in json.load(f)[kind]}
    p, env = presets[name], {}
    parents = p.get('inherits', [])
    for parent in [parents] if isinstance(parents, str) else parents:
        env.update(preset(kind, parent)['environment'])
    env.update(p.get('environment', {}))
    return {'binaryDir': p.get('binaryDir'), 'environment': env, 'configurePreset': p.get('configurePreset')}


def suite(name):
    """(name, argv, seconds, workdir, environment) of each test, as ctest lists them."""
    out = subprocess.run(['ctest', '--preset', name, '--show-only=json-v1'], cwd=SRC,
                         check=True, capture_output=True, text=True).stdout
    for t in json.loads(out)['tests']:
        props = {p['name']: p['value'] for p in t.get('properties', [])}
        argv = t['command']
        if os.path.basename(argv[0]).startswith('qemu-'):  # the cross build's user-mode emulator
            argv = argv[next(i for i, a in enumerate(argv) if i and a.startswith('/') and not a.startswith(PPC_SYSROOT)):]
        yield (t['name'], argv, int(float(props.get('TIMEOUT', 120))), props.get('WORKING_DIRECTORY', '/tmp'),
               props.get('ENVIRONMENT', []), props.get('SKIP_REGULAR_EXPRESSION', []))


def is_elf(path):
    with open(path, 'rb') as f:
        return f.read(4) == b'\x7fELF'


def closure(programs, ppc):
    """Guest path -> host path of the programs, their libraries and loader."""
    dirs = [PPC_SYSROOT + '/lib'] if ppc else ['/lib/x86_64-linux-gnu', '/usr/lib/x86_64-linux-gnu']
    files, todo = {}, list(programs)
    while todo:
        path = todo.pop()
        files[path] = path
        dyn = subprocess.run(['readelf', '-dlW', path], check=True, capture_output=True, text=True).stdout
        runpath = [d.replace('$ORIGIN', os.path.dirname(path)) for r in re.findall(r'R(?:UN)?PATH.*\[(.*)\]', dyn)
                   for d in r.split(':')]
        interp = re.findall(r'program interpreter: (.*)\]', dyn)
        wanted = [(i, (PPC_SYSROOT + i) if ppc else i) for i in interp]
        for lib in re.findall(r'\(NEEDED\).*\[(.*)\]', dyn):
            host = next((os.path.join(d, lib) for d in runpath + dirs if os.path.exists(os.path.join(d, lib))), None)
            if host is None:
                sys.exit(f'run.py: {lib}, needed by {path}, not found')
            wanted.append((host.replace(PPC_SYSROOT, '') if ppc else host, host))
        for guest, host in wanted:
            if guest not in files:
                files[guest] = host
                todo.append(host)
    return files


def cpio(out, files, nodes):
    """A newc archive of files (guest path -> host path) and char devices."""
    entries, dirs = [], set()
    for guest in list(files) + list(nodes):
        d = os.path.dirname(guest)
        while d != '/':
            dirs.add(d)
            d = os.path.dirname(d)
    entries += [(d, 0o040755, b'', 0) for d in sorted(dirs)]
    for guest, host in files.items():
        with open(host, 'rb') as f:
            entries.append((guest, 0o100755, f.read(), 0))
    entries += [(g, 0o020600, b'', rdev) for g, rdev in nodes.items()]
    with open(out, 'wb') as f:
        for ino, (name, mode, data, rdev) in enumerate(entries + [('TRAILER!!!', 0, b'', 0)], 1):
            name = name.lstrip('/').encode() + b'\0'
            f.write(b'070701' + b''.join(b'%08X' % v for v in (
                ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev >> 8, rdev & 255, len(name), 0)))
            f.write(name + b'\0' * (-(110 + len(name)) % 4) + data + b'\0' * (-len(data) % 4))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--suite', required=True)
    ap.add_argument('--kernel', required=True, choices=SCALE)
    ap.add_argument('--work', required=True)
    a = ap.parse_args()
    ppc, work = a.kernel == 'ppc', os.path.abspath(a.work)
    os.makedirs(work, exist_ok=True)
    kernel = subprocess.run(['bash', os.path.join(HERE, 'kernel.sh'), a.kernel, os.path.join(SRC, 'build', 'guest')],
                            check=True, capture_output=True, text=True).stdout.strip()
    cc = 'powerpc-linux-gnu-gcc' if ppc else 'gcc'
    subprocess.run([cc, '-static', '-O2', '-Wall', '-o', work + '/init', HERE + '/init.c'], check=True)

    host = preset('testPresets', a.suite)
    lines = [f'E\t{k}={v}' for k, v in host['environment'].items()]
    # The suite's own deadline per test, stretched for the emulator.
    lines.append(f'E\tCHRONELS_WATCHDOG_S={30 * SCALE[a.kernel]}')
    # Rate floors hold on real machines, not in a loaded emulator. Not
    # CHRONELS_EMULATED: that sizes tests for qemu-user's 32 timers, and this
    # kernel has the real limits.
    lines.append('E\tCHRONELS_SLOW=qemu-system')
    tests, skipped, programs, total = [], [], set(), 0
    skip_re = {}
    for name, argv, secs, wd, env, skip in suite(a.suite):
        skip_re[name] = skip
        why = NOT_IN_GUEST.get(os.path.basename(argv[1] if len(argv) > 1 else argv[0]))
        if why or not is_elf(argv[0]):
            skipped.append((name, why or f'{argv[0]} is not a program'))
            continue
        limit = max(secs, 60) * SCALE[a.kernel]
        tests.append(name)
        programs.add(argv[0])
        lines.append('\t'.join(['T', name, str(limit), wd, str(len(env))] + env + argv))
        total += limit
    files = closure(programs, ppc)
    files['/init'] = work + '/init'
    # The tests find the library's log statements in its source, by path.
    files[os.path.join(SRC, 'src/chronels_ru.cpp')] = os.path.join(SRC, 'src/chronels_ru.cpp')
    with open(work + '/tests', 'w') as f:
        f.write('\n'.join(lines) + '\n')
    files['/guest/tests'] = work + '/tests'
    workdirs = {wd: None for line in lines[1:] if line.startswith('T') for wd in [line.split('\t')[3]]}
    files.update({d + '/.keep': '/dev/null' for d in workdirs})
    cpio(work + '/initramfs.cpio', files, {'/dev/console': (5 << 8) | 1})
    for name, why in skipped:
        print(f'guest: skipped {name}: {why}')

    if ppc:
        qemu = ['qemu-system-ppc', '-M', 'ppce500', '-cpu', 'e500mc', '-m', '512']
    else:
        qemu = ['qemu-system-x86_64', '-m', '1G']
    qemu += ['-smp', '2', '-nographic', '-no-reboot', '-kernel', kernel, '-initrd', work + '/initramfs.cpio',
             '-append', 'console=ttyS0 quiet panic=-1']
    print('guest:', ' '.join(qemu), flush=True)
    start = time.monotonic()
    deadline = start + total + 600
    proc = subprocess.Popen(qemu, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    results, buf, done, output = {}, b'', False, None
    with open(work + '/console.log', 'wb') as log:
        while time.monotonic() < deadline:
            if not select.select([proc.stdout], [], [], 5)[0]:
                continue
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            log.write(chunk)
            buf += chunk
            *complete, buf = buf.split(b'\n')
            for raw in complete:
                line = raw.decode(errors='replace').rstrip('\r')
                m = re.search(r'GUEST-(\S+) ?(.*)', line)
                key, rest = (m.group(1), m.group(2)) if m else ('', '')
                if key == 'BOOT':
                    print(f'guest: kernel {rest}, booted after {time.monotonic() - start:.1f} s', flush=True)
                elif key == 'OUTPUT-BEGIN':
                    output = []
                elif key == 'OUTPUT-END':
                    text, output = '\n'.join(output), None
                elif output is not None:
                    output.append(line)
                elif key == 'RESULT':
                    name, result, rc, secs = rest.split()
                    if result == 'pass' and any(re.search(r, text) for r in skip_re.get(name, [])):
                        result = 'skip'
                    results[name] = result
                    verdict = {'pass': 'Passed', 'skip': 'Skipped', 'fail': f'***Failed (exit {rc})',
                               'hang': '***Timeout'}[result]
                    if result != 'pass':  # why, in the test's own words
                        print('\n'.join('  | ' + t for t in text.splitlines()[-40 if result == 'skip' else -400:]))
                    print(f'{len(results):3}/{len(tests)} Test: {name} {"." * max(3, 60 - len(name))} '
                          f'{verdict} {float(secs):8.2f} sec', flush=True)
                if key == 'DONE':  # qemu exits on the power-off; a guest that cannot gets a while
                    done, deadline = True, min(deadline, time.monotonic() + 30)
    proc.kill()
    proc.wait()
    failed = [t for t in tests if results.get(t) not in ('pass', 'skip')]
    skipped += [(t, 'skipped by the test itself') for t in tests if results.get(t) == 'skip']
    for t in failed:
        print(f'guest: FAILED {t}: {results.get(t, "no result")}')
    if not done:
        print(f'guest: the guest did not finish; last lines of {work}/console.log:')
        with open(work + '/console.log', 'rb') as f:
            print(b'\n'.join(f.read().splitlines()[-30:]).decode(errors='replace'))
    print(f'guest: {len(skipped)} tests skipped, {time.monotonic() - start:.0f} s in the guest')
    print(f'guest: {100 * (len(tests) - len(failed)) // max(len(tests), 1)}% tests passed, '
          f'{len(failed)} tests failed out of {len(tests)}')
    return 1 if failed or not done or not tests else 0


if __name__ == '__main__':
    sys.exit(main())
