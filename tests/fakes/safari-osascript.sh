#!/usr/bin/env bash
# A stand-in for the script host that runs JavaScript under node against a fake Safari: windows
# and tabs (url, name, text, source), each window's current tab, and do JavaScript evaluating page
# code against a tiny DOM. `delay` advances a virtual clock behind Date.now, so nothing waits.
#
# Takes "-l JavaScript" and "-e <line>" arguments like osascript and prints the script's value.
# FAKE_SAFARI_WORLD: a JSON file describing the browser:
#   {"javascript": false (page code refused, as when Apple Events may not run it),
#    "windows": [{"current": 0, "tabs": [{"url", "name", "text", "source", "readyState",
#      "unreadable": ["url", "name", "text", "source"],
#      "elements": [{"selector", "tag", "text", "value", "href", "appear_ms",
#                    "navigate": url, "load_ms": ms or -1 for never}]}]}]}
# FAKE_SAFARI_LOG: a file to which every selector a page is asked for and every piece of page
#   code is appended as one JSON line: {"selector": ...} or {"page_code": ...}.
set -euo pipefail

script=""
joined=0
while [ $# -gt 0 ]; do
  if [ "$1" = "-e" ] && [ $# -gt 1 ]; then
    if [ $joined -eq 1 ]; then script+=$'\n'; fi
    script+="$2"
    joined=1
    shift 2
  else
    shift
  fi
done

read -r -d '' harness <<'JS' || true
const fs = require('fs');
const vm = require('vm');

const source = process.argv[process.argv.length - 1];
const worldFile = process.env.FAKE_SAFARI_WORLD;
const world = worldFile ? JSON.parse(fs.readFileSync(worldFile, 'utf8')) : { windows: [] };
const logFile = process.env.FAKE_SAFARI_LOG;
const record = (entry) => { if (logFile) fs.appendFileSync(logFile, JSON.stringify(entry) + '\n'); };

const start = 1700000000000;
let clock = start;
Date.now = () => clock;
const elapsed = () => clock - start;

function readable(tab, what) {
  if ((tab.unreadable || []).includes(what)) throw new Error('Safari got an error: Can\'t get ' + what + '.');
  return tab[what] === undefined ? '' : tab[what];
}

function readyState(tab) {
  if (tab.loadingUntil === undefined) return tab.readyState || 'complete';
  return tab.loadingUntil >= 0 && clock >= tab.loadingUntil ? 'complete' : 'loading';
}

function element(spec, tab) {
  return {
    tagName: (spec.tag || 'div').toUpperCase(),
    innerText: spec.text,
    textContent: spec.text,
    value: spec.value,
    href: spec.href,
    click() {
      record({ click: spec.selector });
      if (spec.navigate !== undefined) {
        tab.url = spec.navigate;
        tab.loadingUntil = spec.load_ms === -1 ? -1 : clock + (spec.load_ms || 0);
      }
    },
  };
}

function documentOf(tab) {
  const present = () => (tab.elements || []).filter((e) => (e.appear_ms || 0) <= elapsed());
  const all = (selector) => {
    record({ selector });
    if (selector === 'a[href]') return present().filter((e) => e.href !== undefined).map((e) => element(e, tab));
    return present().filter((e) => e.selector === selector).map((e) => element(e, tab));
  };
  return {
    get readyState() { return readyState(tab); },
    querySelectorAll: all,
    querySelector: (selector) => all(selector)[0] || null,
  };
}

function tabObject(tab) {
  return {
    url: () => readable(tab, 'url'),
    name: () => readable(tab, 'name'),
    text: () => readable(tab, 'text'),
    source: () => readable(tab, 'source'),
    spec: tab,
  };
}

const safari = {
  windows: () => (world.windows || []).map((w) => ({
    tabs: () => (w.tabs || []).map(tabObject),
    currentTab: () => tabObject(w.tabs[w.current || 0]),
  })),
  doJavaScript(code, options) {
    record({ page_code: code });
    if (world.javascript === false) {
      throw new Error('Safari got an error: JavaScript through AppleEvents is not enabled.');
    }
    const tab = options.in.spec;
    return vm.runInNewContext(code, { document: documentOf(tab), location: { href: tab.url }, JSON });
  },
};

globalThis.Application = (name) => {
  if (name !== 'Safari') throw new Error('Application can\'t be found.');
  return safari;
};
globalThis.delay = (seconds) => { clock += Math.round(seconds * 1000); };

const value = vm.runInThisContext(source);
process.stdout.write(String(value) + '\n');
JS

exec node -e "$harness" "$script"
