#!/usr/bin/env python3
"""One-off conversion of one gauge's USGS field measurements into the example data file.

Usage: make_example.py CSV [STATION]   (default station 11372000)

The CSV has the columns meas_nu, station_number, station_name, date, W (stage, m),
Q (discharge, m3/s), country. The rows of the chosen station are written in date
order (the order of a field book) to gauge/<STATION>.dat beside this script: a title
line, then one line per measurement with stage, discharge and the date as a comment.
The program orders the observations by stage itself.
"""
import csv
import os
import sys


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    station = sys.argv[2] if len(sys.argv) == 3 else "11372000"
    with open(sys.argv[1], newline="") as f:
        rows = [r for r in csv.DictReader(f) if r["station_number"] == station]
    if not rows:
        sys.exit("no measurements for station %s" % station)
    # Measurements without a positive discharge cannot be fitted in Q^nu.
    rows = [r for r in rows if r["W"] and r["Q"] and float(r["Q"]) > 0]
    if len(rows) > 999:
        sys.exit("more than 999 measurements; the program reads at most 999")
    rows.sort(key=lambda r: (r["date"], int(r["meas_nu"])))
    dates = sorted(r["date"][:4] for r in rows)
    title = "# %s %s (USGS field measurements %s-%s, stage m, discharge m3/s)" % (
        station, rows[0]["station_name"], dates[0], dates[-1])
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gauge", station + ".dat")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    # Every line, the last included, must end with a line end: the program does not
    # count an observation on a last line without one.
    with open(out, "w", newline="\n") as f:
        f.write(title + "\n")
        for r in rows:
            f.write("%s\t%s\t%s\n" % (r["W"], r["Q"], r["date"][:16]))
    print("%s: %d measurements" % (out, len(rows)))


if __name__ == "__main__":
    main()
