#!/usr/bin/env python3
"""Include loops among the simulator's modules, from the `#include "..."` lines. A module is a
header and the .cpp of the same name, so x.cpp including y.h makes the edge x -> y. Prints a loop
through each back edge found and exits with 1 when there is any.

    python3 sim/tools/include_loops.py sim
"""
import os, re, sys
root = sys.argv[1] if len(sys.argv) > 1 else 'sim'
edges = {}
for d, _, files in os.walk(root):
    for f in files:
        if not f.endswith(('.h', '.cpp')): continue
        p = os.path.join(d, f)
        mod = os.path.splitext(os.path.relpath(p, root))[0]
        for line in open(p):
            m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if not m: continue
            # beside the file, else on the include path (sim/ and sim/include/)
            for base in (d, root, os.path.join(root, 'include')):
                t = os.path.normpath(os.path.join(base, m.group(1)))
                if os.path.exists(t): break
            else:
                continue  # generated files
            tm = os.path.splitext(os.path.relpath(t, root))[0]
            if tm != mod: edges.setdefault(mod, set()).add(tm)
cycles, state, stack = set(), {}, []
def dfs(u):
    state[u] = 1; stack.append(u)
    for v in sorted(edges.get(u, ())):
        if state.get(v) == 1:
            c = stack[stack.index(v):]
            i = c.index(min(c)); cycles.add(tuple(c[i:] + c[:i]))
        elif not state.get(v): dfs(v)
    stack.pop(); state[u] = 2
for u in sorted(edges): 
    if not state.get(u): dfs(u)
for c in sorted(cycles): print(' -> '.join(c + (c[0],)))
print(f'{len(cycles)} include loop(s) among {len(edges)} modules')
sys.exit(1 if cycles else 0)
