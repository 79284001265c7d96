#!/usr/bin/env python3
"""Mutation testing of src/chronels_ru.cpp: one small fault at a time, edited within its line
(messages carry line numbers), built into a private copy of the tree and run against the suite.
  tests/mutate.py --list [--seed S --sample N]
  tests/mutate.py [--seed S --sample N | --only ID...] [--json FILE] [--repo DIR]
  tests/mutate.py --baseline tests/mutation-baseline.json --fail-on-regression --seed SHA --sample 20
"""
import argparse, hashlib, json, os, random, re, shutil, subprocess, sys, time
from pathlib import Path

SRC = 'src/chronels_ru.cpp'
SWAP = {'==': '!=', '!=': '==', '<': '<=', '<=': '<', '>': '>=', '>=': '>', '&&': '||', '||': '&&',
        'true': 'false', 'false': 'true', '+': '-', '-': '+'}
RULES = [  # kind, pattern on the masked line, replacement of its group 1
    ('rel', re.compile(r' (==|!=|<=|>=|<|>) '), SWAP.get),  # spaced: never a template bracket
    ('logic', re.compile(r' (&&|\|\|) '), SWAP.get),
    ('bool', re.compile(r'(?<![\w.])(true|false)(?![\w.])'), SWAP.get),
    ('int', re.compile(r'(?<![\w.-])(\d+)(?![\w.])'), lambda s: str(int(s) + 1)),
    ('pm1drop', re.compile(r'(?<=[\w)\]])( [+-] 1)(?![\w.])'), lambda s: ''),
    ('pm1sign', re.compile(r'(?<=[\w)\]]) ([+-]) 1(?![\w.])'), SWAP.get),
    ('ret', re.compile(r'\breturn ([^;]+);'), lambda s: {'0': '-1', '-1': '0'}.get(s, '{}')),
]
DECL = re.compile(r'\w+ \(\*\w+\)|(static\s+|const\s+|struct\s+|union\s+)*[A-Za-z_][\w:]*(<[^;]*>)?'
                  r'[\s*&]+[A-Za-z_]\w*\s*(\[[^\]]*\])?\s*[=;{]')
BLANK = '\x01'


def mask(line):
    """The line with string and character literals and // comments blanked, same length."""
    return re.sub(r'"(\\.|[^"\\])*"|\'(\\.|[^\'\\])*\'|//.*', lambda x: BLANK * len(x.group(0)), line)


def close_paren(m, i):
    depth = 0
    for j in range(i, len(m)):
        depth += {'(': 1, ')': -1}.get(m[j], 0)
        if depth == 0:
            return j
    return None


def sites(lines):
    """(kind, line index, start, end, replacement) of every mutation, in file order."""
    prev, cont = '{', False
    for k, line in enumerate(lines):
        if cont or line.lstrip().startswith('#'):  # preprocessor, continuations included
            cont = line.rstrip().endswith('\\')
            continue
        m = mask(line)
        code = m.strip().rstrip(BLANK).rstrip()
        if not code:
            continue
        for kind, rx, rep in RULES:
            for x in rx.finditer(m):
                if not (kind == 'ret' and x.group(1) in ('true', 'false', 'nullptr', '{}')
                        or kind == 'int' and code == 'return 0;'):  # those are another kind's mutants
                    yield kind, k, x.start(1), x.end(1), rep(x.group(1))
        for x in re.finditer(r'\b(?:if|while) (\()', m):
            j = close_paren(m, x.start(1))
            # a lone == or != negated is the rel mutant again
            if j is not None and re.findall(r' (==|!=|<=|>=|<|>|&&|\|\|) ', m[x.start(1):j]) not in (['=='], ['!=']):
                yield 'neg', k, x.start(1), j + 1, '(!' + line[x.start(1):j + 1] + ')'
        # a statement of its own: indented, begun on this line, no declaration (its removal would not compile)
        if (code.endswith(';') and line[:1].isspace() and not code.startswith('return') and not DECL.match(code)
                and (prev.endswith((';', '{', '}', ')')) or re.search(r'\belse$', prev))
                and code.count('(') == code.count(')')):
            start = len(line) - len(line.lstrip())
            yield 'del', k, start, start + len(code), '{}'
        prev = code


def enumerate_mutants(text):
    """Ids are kind:sha1 of the stripped line:occurrence, so edits to other lines keep them."""
    lines, seen, out = text.split('\n'), {}, []
    for kind, k, a, b, rep in sites(lines):
        h = hashlib.sha1(lines[k].strip().encode()).hexdigest()[:8]
        n = seen[kind, h] = seen.get((kind, h), -1) + 1
        new = lines[k][:a] + rep + lines[k][b:]
        out.append({'id': f'{kind}:{h}:{n}', 'line': k + 1, 'code': lines[k].strip(), 'after': new.strip(),
                    'description': f'L{k + 1}: {lines[k][a:b].strip()} \u2192 {rep.strip() or "(removed)"}',
                    'text': '\n'.join(lines[:k] + [new] + lines[k + 1:])})
    return out


def run(cmd, cwd, log, timeout=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)
        out, rc = p.stdout, p.returncode
    except subprocess.TimeoutExpired as e:
        out, rc = (e.stdout or b'').decode(errors='replace') + '\n(the whole run timed out)', -1
    Path(log).write_text(out)
    return rc, out


def suite(tree, a, log):
    """None if every test passed, else the first that failed or timed out."""
    rc, out = run(['ctest', '--test-dir', 'build/default', '-LE', '(^|,)(demo|model)(,|$)', '--timeout', str(a.timeout),
                   '--stop-on-failure', '--output-on-failure', '-j', str(a.jobs)], tree, log, a.timeout * 30)
    failed = [x.group(1) for x in re.finditer(r'Test +#\d+: (\S+) .*', out) if ' Passed ' not in x.group(0)]
    return failed[0] if failed else None if rc == 0 else '(ctest error)'


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--repo', default=Path(__file__).resolve().parents[1], help='tree to mutate; never modified')
    ap.add_argument('--work', help='private copy, its build and logs (default REPO/build/mutate)')
    ap.add_argument('--list', action='store_true'), ap.add_argument('--only', nargs='+'), ap.add_argument('--seed')
    ap.add_argument('--sample', type=int), ap.add_argument('--json'), ap.add_argument('--baseline')
    ap.add_argument('--fail-on-regression', action='store_true'), ap.add_argument('--jobs', type=int, default=1)
    ap.add_argument('--timeout', type=int, default=60)
    a = ap.parse_args()
    repo = Path(a.repo).resolve()
    original = (repo / SRC).read_text()
    mutants = {m['id']: m for m in enumerate_mutants(original)}
    base = {m['id']: m for m in json.loads(Path(a.baseline).read_text())['mutants']} if a.baseline else {}
    ids = a.only or list(mutants) + sorted(set(base) - set(mutants))
    if a.seed is not None or a.sample:
        random.Random(a.seed or '0').shuffle(ids)
    ids = ids[:a.sample] if a.sample else ids
    if a.list:
        for i in ids:
            print(f'{i}  {mutants[i]["description"]}  | {mutants[i]["code"]}' if i in mutants else f'{i}  gone')
        return 0
    os.nice(5)  # others' builds and emulators share the machine
    tree = (work := Path(a.work or repo / 'build/mutate').resolve()) / 'tree'
    (logs := work / 'logs').mkdir(parents=True, exist_ok=True)
    # Copied with their times, so only what changed since the last run is built again.
    shutil.copytree(repo, tree, dirs_exist_ok=True, ignore=lambda d, n: ['build', '.git'] if Path(d) == repo else [])
    (tree / SRC).write_text(original)
    lib = ['cmake', '--build', '--preset', 'default', '--target', 'chronels']
    for cmd in (['cmake', '--preset', 'default'], ['cmake', '--build', '--preset', 'default']):
        if run(cmd, tree, logs / 'setup.log')[0]:
            sys.exit(f'setup failed: {" ".join(cmd)} (see {logs}/setup.log)')
    failed, t0 = suite(tree, a, logs / 'unmutated.log'), time.time()
    if failed:  # a score over a failing or flaky suite means nothing
        sys.exit(f'the unmutated suite fails: {failed} (see {logs}/unmutated.log)')
    print('the unmutated suite passes', flush=True)
    results, count = [], {'killed': 0, 'survived': 0, 'notcompiled': 0}
    try:
        for i in ids:
            m, t = mutants.get(i), time.time()
            if m is None:
                print(f'{i}  gone: its line is no longer in {SRC}', flush=True)
                continue
            (tree / SRC).write_text(m['text'])
            built = run(lib, tree, logs / 'build.log')[0] == 0
            failed = suite(tree, a, logs / (i.replace(':', '_') + '.log')) if built else None
            result = 'killed' if failed else 'survived' if built else 'notcompiled'
            count[result] += 1
            results.append(dict({k: m[k] for k in ('id', 'line', 'description', 'code', 'after')},
                                result=result, first_failure=failed, seconds=round(time.time() - t, 1)))
            print(f'{i}  {m["description"]}  {result}  {failed or ""}', flush=True)
    finally:
        (tree / SRC).write_text(original)
        run(lib, tree, logs / 'build.log')
    k, s, c, n = count['killed'], count['survived'], count['notcompiled'], max(len(results), 1)
    print(f'killed {k} / survived {s} / not compiled {c} / score {k}/{k + s} = {100 * k / max(k + s, 1):.1f}%'
          f'  ({(time.time() - t0) / n:.1f} s per mutant)')
    if a.json:
        Path(a.json).write_text(json.dumps({'source': SRC, 'counts': count, 'mutants': results}, indent=1, ensure_ascii=False) + '\n')
    regressions = [r for r in results if r['result'] == 'survived' and base.get(r['id'], {}).get('result') == 'killed']
    print(''.join(f'REGRESSION: {r["id"]} {r["description"]}: killed in {a.baseline}, survives now\n' for r in regressions), end='')
    return 1 if regressions and a.fail_on_regression else 0


if __name__ == '__main__':
    sys.exit(main())
