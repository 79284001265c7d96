# SPDX-License-Identifier: MIT
"""run.py PRESET ppc|amd64|rt: the tests of a test preset in a Linux 6.1 guest (see CMakeLists.txt), in ./run."""
import ctypes, json, os, re, signal, subprocess, sys, threading, time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC, SYSROOT = os.path.dirname(os.path.dirname(HERE)), '/usr/powerpc-linux-gnu'
PRESETS = {p['name']: p for p in json.load(open(SRC + '/CMakePresets.json'))['testPresets']}


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True, **kw).stdout


def preset_env(name):  # with what the preset inherits
    return (preset_env(PRESETS[name]['inherits']) if 'inherits' in PRESETS[name] else {}) | PRESETS[name].get('environment', {})


def libraries(emulator, program):  # guest path -> host path of what the program loads, as its loader finds it
    trace = run(*emulator, program, env={'QEMU_SET_ENV': 'LD_TRACE_LOADED_OBJECTS=1'} if emulator else {'LD_TRACE_LOADED_OBJECTS': '1'})
    return {p: SYSROOT + p if emulator and os.path.exists(SYSROOT + p) else p for p in re.findall(r'(/\S+) \(0x', trace)}


def cpio(out, files):  # a newc archive, all root's, of guest path -> host path (None: a directory) and every parent
    files |= {p: None for f in files for p in [f[:i] for i in range(1, len(f)) if f[i] == '/']}
    with open(out, 'wb') as f:
        for ino, (name, host) in enumerate(sorted(files.items()) + [('TRAILER!!!', None)], 1):
            data, name = open(host, 'rb').read() if host else b'', name.lstrip('/').encode() + b'\0'
            f.write(b'070701' + b'%08X' * 13 % (ino, 0o100755 if host else 0o40755, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name), 0))
            f.write(name + b'\0' * (-(110 + len(name)) % 4) + data + b'\0' * (-len(data) % 4))


def main(preset, kind):
    ppc, scale = kind == 'ppc', 5 if kind == 'ppc' else 4  # emulation is slower: deadlines are the tests' own this times
    os.makedirs(work := os.path.abspath('run'), exist_ok=True)
    kernel = run('bash', HERE + '/kernel.sh', kind).strip()
    run(('powerpc-linux-gnu-' if ppc else '') + 'gcc', '-static', '-O2', '-Wall', '-o', work + '/init', HERE + '/init.c')
    # Rate floors hold on real machines, not in a loaded emulator. Not CHRONELS_EMULATED: that sizes tests for
    # qemu-user's 32 timers, and this kernel has the real limits.
    env = [f'{k}={v}' for k, v in preset_env(preset).items()] + [f'CHRONELS_WATCHDOG_S={30 * scale}']
    files = {'/init': work + '/init', '/tests': work + '/tests', '/dev': None, '/proc': None, '/sys': None, '/tmp': None,
             SRC + '/src/chronels_ru.cpp': SRC + '/src/chronels_ru.cpp'}  # the tests find the library's log statements in it
    lines, skips, host, total = [], {}, [], 600
    for t in json.loads(run('ctest', '--preset', preset, '--show-only=json-v1', cwd=SRC))['tests']:
        props, argv, at = {p['name']: p['value'] for p in t.get('properties', [])}, t['command'], 0
        if 'host' in props.get('LABELS', []):
            host.append(t['name'])
            continue
        if os.path.basename(argv[0]).startswith('qemu-'):  # the cross build's user-mode emulator goes
            at = next(i for i, a in enumerate(argv) if i and a.startswith('/') and not a.startswith(SYSROOT))
        wd, limit = props.get('WORKING_DIRECTORY', '/tmp'), max(int(props.get('TIMEOUT', 120)), 60) * scale
        lines.append('\t'.join([t['name'], str(limit), wd] + env + props.get('ENVIRONMENT', []) + argv[at:]))
        skips[t['name']], total = props.get('SKIP_REGULAR_EXPRESSION', []), total + limit
        files |= {**libraries(argv[:at], argv[at]), argv[at]: argv[at], wd: None}
    print(''.join(f'guest: not run: {name} (label host)\n' for name in host), end='')
    open(work + '/tests', 'w').write('\n'.join(lines) + '\n')
    cpio(work + '/initramfs.cpio', files)

    qemu = ('qemu-system-ppc -M ppce500 -cpu e500mc -m 512' if ppc else 'qemu-system-x86_64 -m 1G').split() + ['-smp', '2',
            '-nographic', '-no-reboot', '-kernel', kernel, '-initrd', work + '/initramfs.cpio', '-append', 'console=ttyS0 quiet panic=-1']
    # qemu dies with this script, even when ctest kills it on its deadline.
    proc = subprocess.Popen(qemu, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors='replace', preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))
    (timer := threading.Timer(min(total, 3300), proc.kill)).start()  # within the CTest test's 3600 s
    start, results, output = time.monotonic(), {}, []
    with open(work + '/console.log', 'w') as log:
        for line in proc.stdout:
            log.write(line)
            key, _, rest = line[max(line.find('GUEST-'), 0):].strip().partition(' ')  # after the firmware's escapes
            if key == 'GUEST-BOOT':
                print(f'guest: kernel {rest} ({kernel}), booted after {time.monotonic() - start:.1f} s')
                output, last = [], time.monotonic()  # not the firmware's
            elif key == 'GUEST-RESULT':
                (name, rc), secs, last = rest.split(), time.monotonic() - last, time.monotonic()
                results[name] = 'Skipped' if rc == '0' and any(re.search(r, ''.join(output)) for r in skips[name]) else \
                    {'0': 'Passed', '-1': '***Timeout'}.get(rc, f'***Failed ({rc})')
                print(''.join('  | ' + s for s in output[-300:] if rc != '0'), end='')  # why it failed, in its own words
                print(f'{len(results):3}/{len(skips)} Test: {name} {"." * max(3, 60 - len(name))} {results[name]} {secs:8.2f} sec')
                output = []
            else:
                output.append(line)
    timer.cancel()
    failed = [t for t in skips if results.get(t) not in ('Passed', 'Skipped')]
    print(''.join(f'guest: FAILED {t}: {results.get(t, f"no result; see {work}/console.log")}\n' for t in failed), end='')
    print(f'guest: not run: {len(host)} (label host), {list(results.values()).count("Skipped")} skipped by themselves; {time.monotonic() - start:.0f} s in the guest')
    print(f'guest: {100 * (len(skips) - len(failed)) // max(len(skips), 1)}% tests passed, {len(failed)} tests failed out of {len(skips)}')
    return 1 if failed or not skips else 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))
