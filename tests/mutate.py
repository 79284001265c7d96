#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Mutation testing of src/chronels_ru.cpp: one small fault at a time, edited within its line, only the library
rebuilt in a private copy of the tree (--work, default REPO/build/mutate), then ctest until the first failure.
Prints killed / survived / not compiled per mutant, then the score.
  tests/mutate.py [--list] [--seed S --sample N | --only ID...] [--json FILE] [--repo DIR]
  tests/mutate.py --baseline .ci/mutation-baseline.json --fail-on-regression --seed SHA --sample 20
      # a sample: what the baseline saw killed must still be killed; ids no longer in the source print as gone
  tests/mutate.py --killed-in .ci/mutation-baseline.json --fail-on-regression  # each it saw killed that is still there"""
import argparse, hashlib, json, os, random, re, shutil, subprocess, sys, time
from pathlib import Path

SRC, BLANK, PAIRS = 'src/chronels_ru.cpp', '\x01', '== != < <= > >= && || true false + -'.split()
SWAP = {t: PAIRS[n ^ 1] for n, t in enumerate(PAIRS)}  # each token to the other of its pair
RULES = [('rel', r' (==|!=|<=|>=|<|>) ', SWAP.get), ('logic', r' (&&|\|\|) ', SWAP.get),  # spaced: no template bracket
         ('bool', r'(?<![\w.])(true|false)(?![\w.])', SWAP.get), ('int', r'(?<![\w.-])(\d+)(?![\w.])', lambda s: str(int(s) + 1)),
         ('pm1drop', r'(?<=[\w)\]])( [+-] 1)(?![\w.])', lambda s: ''), ('pm1sign', r'(?<=[\w)\]]) ([+-]) 1(?![\w.])', SWAP.get),
         ('ret', r'\breturn (?!(?:true|false|nullptr|\{\});)([^;]+);', lambda s: {'0': '-1', '-1': '0'}.get(s, '{}'))]
DECL = re.compile(r'\w+ \(\*\w+\)|(static\s+|const\s+|struct\s+|union\s+)*[A-Za-z_][\w:]*(<[^;]*>)?'
                  r'[\s*&]+[A-Za-z_]\w*\s*(\[[^\]]*\])?\s*[=;{]')


def mutants(text):  # every mutant by id, in file order: kind:sha1 of the stripped line:occurrence, kept by edits elsewhere
    lines, found, prev, cont, seen, out = text.split('\n'), [], '{', False, {}, []
    for k, line in enumerate(lines):  # preprocessor lines skipped, continuations included
        cont = (pre := cont or line.lstrip().startswith('#')) and line.rstrip().endswith('\\')
        # literals and // comments blanked, the length kept so that positions hold in the line itself
        m = re.sub(r'"(\\.|[^"\\])*"|\'(\\.|[^\'\\])*\'|//.*', lambda x: BLANK * len(x.group(0)), line)
        if pre or not (code := m.strip().rstrip(BLANK).rstrip()):
            continue
        found += [(kind, k, x.start(1), x.end(1), rep(x.group(1))) for kind, rx, rep in RULES for x in re.finditer(rx, m)
                  if kind != 'int' or code != 'return 0;']  # that one and a bool or nullptr returned: another kind's
        for i in (x.start(1) for x in re.finditer(r'\b(?:if|while) (\()', m)):  # not a lone == or !=: the rel mutant
            j = next((j for j in range(i, len(m)) if m.count('(', i, j + 1) == m.count(')', i, j + 1)), 0)
            if j and re.findall(r' (==|!=|<=|>=|<|>|&&|\|\|) ', m[i:j]) not in (['=='], ['!=']):
                found.append(('neg', k, i, j + 1, '(!' + line[i:j + 1] + ')'))
        # a statement of its own: indented, begun on this line, no declaration (its removal would not compile)
        if (code.endswith(';') and line[:1].isspace() and not code.startswith('return') and not DECL.match(code)
                and (prev.endswith((';', '{', '}', ')')) or re.search(r'\belse$', prev))
                and code.count('(') == code.count(')')):
            found.append(('del', k, (s := len(line) - len(line.lstrip())), s + len(code), '{}'))
        prev = code
    for kind, k, a, b, rep in found:
        h = f'{kind}:{hashlib.sha1(lines[k].strip().encode()).hexdigest()[:8]}'
        seen[h], new = seen.get(h, -1) + 1, lines[k][:a] + rep + lines[k][b:]
        out.append(dict(id=f'{h}:{seen[h]}', line=k + 1, code=lines[k].strip(), after=new.strip(),
                        description=f'L{k + 1}: {lines[k][a:b].strip()} \u2192 {rep.strip() or "(removed)"}',
                        text='\n'.join(lines[:k] + [new] + lines[k + 1:])))
    return {m['id']: m for m in out}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--repo', default=Path(__file__).resolve().parents[1], help='tree to mutate; never modified')
    [ap.add_argument(o, action='store_true') for o in ('--list', '--fail-on-regression')]
    [ap.add_argument(o, type=int, default=d) for o, d in (('--sample', None), ('--jobs', 1), ('--timeout', 60))]
    ap.add_argument('--only', nargs='+'), ap.add_argument('--seed'), ap.add_argument('--json'), ap.add_argument('--work')
    (g := ap.add_mutually_exclusive_group()).add_argument('--baseline', metavar='FILE'), g.add_argument('--killed-in', metavar='FILE')
    a = ap.parse_args()
    repo, bfile = Path(a.repo).resolve(), a.baseline or a.killed_in
    muts = mutants(original := (repo / SRC).read_text())
    base = {m['id']: m for m in json.loads(Path(bfile).read_text())['mutants']} if bfile else {}
    ids = ([i for i in muts if base.get(i, {}).get('result') == 'killed'] if a.killed_in
           else a.only or list(muts) + sorted(set(base) - set(muts)))
    if a.seed is not None or a.sample:
        random.Random(a.seed or '0').shuffle(ids)
    ids = ids[:a.sample or None]
    if a.list:
        return print(''.join(f'{i}  {muts[i]["description"]}  | {muts[i]["code"]}\n' if i in muts else f'{i}  gone\n'
                             for i in ids), end='')
    os.nice(5)  # others' builds and emulators share the machine
    tree = (work := Path(a.work or repo / 'build/mutate').resolve()) / 'tree'
    (logs := work / 'logs').mkdir(parents=True, exist_ok=True)
    shutil.copytree(repo, tree, dirs_exist_ok=True, ignore=lambda d, n: ['build', '.git'] if Path(d) == repo else [])
    (tree / SRC).write_text(original)  # the copies keep their times, so only what changed is built again; this always is
    run = lambda log, *cmd: subprocess.run(cmd, cwd=tree, stdout=open(logs / log, 'w'), stderr=subprocess.STDOUT).returncode
    if run('setup.log', 'cmake', '--preset', 'default') or run('setup.log', 'cmake', '--build', '--preset', 'default'):
        sys.exit(f'setup failed: configuring or building the unmutated tree (see {logs}/setup.log)')

    def suite(log):  # None if every test passed, else the first that failed or timed out: a hang is killed too
        rc = run(log, 'timeout', str(a.timeout * 30), 'ctest', '--test-dir', 'build/default', '-LE', '(^|,)(demo|model|host)(,|$)',
                 '--timeout', str(a.timeout), '--stop-on-failure', '--output-on-failure', '-j', str(a.jobs))
        x = re.search(r'Test +#\d+: (\S+) (?!.* Passed )', (logs / log).read_text(errors='replace'))
        return x.group(1) if x else None if rc == 0 else '(ctest error)'
    if failed := suite('unmutated.log'):  # a score over a failing or flaky suite means nothing
        sys.exit(f'the unmutated suite fails: {failed} (see {logs}/unmutated.log)')
    print('the unmutated suite passes', *(f'{i}  gone: its line is no longer in {SRC}' for i in ids if i not in muts),
          sep='\n', flush=True)
    results, count, t0 = [], dict.fromkeys(('killed', 'survived', 'notcompiled'), 0), time.time()
    for m, t in ((muts[i], time.time()) for i in ids if i in muts):
        (tree / SRC).write_text(m['text'])
        built = run('build.log', 'cmake', '--build', '--preset', 'default', '--target', 'chronels') == 0
        failed = suite(m['id'].replace(':', '_') + '.log') if built else None
        count[result := 'killed' if failed else 'survived' if built else 'notcompiled'] += 1
        results.append(dict({k: m[k] for k in ('id', 'line', 'description', 'code', 'after')},
                            result=result, first_failure=failed, seconds=round(time.time() - t, 1)))
        print(f'{m["id"]}  {m["description"]}  {result}  {failed or ""}', flush=True)
    k, s, c = count.values()
    print(f'killed {k} / survived {s} / not compiled {c} / score {k}/{k + s} = {100 * k / max(k + s, 1):.1f}%'
          f'  ({(time.time() - t0) / max(len(results), 1):.1f} s per mutant)')
    if a.json:
        Path(a.json).write_text(json.dumps({'source': SRC, 'counts': count, 'mutants': results}, indent=1, ensure_ascii=False) + '\n')
    regressions = [r for r in results if r['result'] == 'survived' and base.get(r['id'], {}).get('result') == 'killed']
    print(''.join(f'REGRESSION: {r["id"]} {r["description"]}: killed in {bfile}, survives now\n' for r in regressions), end='')
    return 1 if regressions and a.fail_on_regression else 0


if __name__ == '__main__':
    sys.exit(main())
