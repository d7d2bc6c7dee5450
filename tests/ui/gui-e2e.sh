#!/bin/sh
# End-to-end test of the real resurgo.exe (CTest): runs scripts/gui-smoke.sh
# on a fixture image with its own Wine prefix and display, then checks the
# listed rows and the restored file against the fixture's facts.
#   gui-e2e.sh SOURCE-DIR BUILD-DIR IMAGE FACTS OUTDIR
set -u
src=$1 build=$2 image=$3 facts=$4 out=$5
rm -rf "$out"
# Its own display, so that no other test's window is in the screenshots.
env -u DISPLAY RESURGO_BUILD_DIR="$build" sh "$src/scripts/gui-smoke.sh" "$image" '*' "$out" || exit 1
python3 - "$facts" "$out" <<'PY'
import hashlib, json, os, sys
facts = json.load(open(sys.argv[1], encoding="utf-8"))
out = sys.argv[2]
deleted = sorted((f for f in facts["files"] if f["deleted"] and not f["is_dir"]), key=lambda f: -f["record"])
rows = [line.rstrip("\n").split("\t") for line in open(os.path.join(out, "rows.tsv"), encoding="utf-8")]
fail = 0
if [r[0] for r in rows] != [f["name"] for f in deleted]:
    print("rows are not the deleted files, highest record first:", [r[0] for r in rows]); fail = 1
for r, f in zip(rows, deleted):
    want = [f["name"], str(f["size"]), "X:\\" + f["directory"].replace("/", "\\")]
    condition = {100: "Intact", 0: "Overwritten"}.get(f["recoverable_tsk"], "Partly overwritten")
    if r[:3] != want or len(r) != 7 or r[6] != condition:
        print("row", r, "expected", want, condition); fail = 1
first = deleted[0]
data = open(os.path.join(out, first["name"]), "rb").read()
if hashlib.sha256(data).hexdigest() != first["sha256"]:
    print("restored", first["name"], "differs from the facts"); fail = 1
message = open(os.path.join(out, "restore.txt"), encoding="utf-8").read().strip()
if message != "File %s successfully restored" % first["name"]:
    print("message:", message); fail = 1
status = open(os.path.join(out, "status.txt"), encoding="utf-8").read().strip()
if not status.startswith("%d deleted file(s) found." % len(deleted)):
    print("status line:", status); fail = 1
for shot in ("search.png", "dialog.png", "restore.png"):
    if os.path.getsize(os.path.join(out, shot)) < 10000:
        print(shot, "is too small to show the dialog"); fail = 1
print("gui-e2e: %d rows, %s restored, checksum %s" % (len(rows), first["name"], "ok" if not fail else "checked"))
sys.exit(fail)
PY
