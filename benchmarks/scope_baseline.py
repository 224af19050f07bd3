#!/usr/bin/env python3
"""The baseline that kelvane-scope --from is measured against: a minimal decoder of the echo
sounder's stream in plain Python, standard library only, written the way a client developer would
first write one. It splits the capture into lines, checks the checksum of every NMEA sentence and
frequency line, reads the numbers of the headers, sentences and data blocks, works out the echo
depth, and prints one line per ping and the count of bad lines. It does less than the scope (no
header templates, no line order, repeats or timing, no CSV), so the comparison favours it.

Usage: scope_baseline.py CAPTURE"""
import sys

FIELDS = {b'#Altitude,m': 'depth', b'#Altitude': 'depth', b'#Temperature,?C': 'temp',
          b'#Temperature': 'temp', b'#Pitch,deg': 'pitch', b'#Roll,deg': 'roll',
          b'#Tx_Frequency,Hz': 'hz', b'#Sampling_Frequency,Hz': 'rate'}


def checksum_ok(body, given):
    x = 0
    for byte in body:
        x ^= byte
    return b'%02X' % x == given


def show(ping, write):
    samples = ping.get('samples') or [0]
    top = max(samples)
    echo = '-'
    if top > 0:
        first = samples.index(top)
        last = first
        while last + 1 < len(samples) and samples[last + 1] == top:
            last += 1
        echo = '%.4f' % ((first + last) / 2 * 750.0 / ping.get('rate', 100000))
    write('ch=%s depth=%.4f temp=%.2f pitch=%.3f roll=%.3f samples=%d echo=%s\n' % (
        ping.get('hz', '-'), ping.get('depth', 0), ping.get('temp', 0), ping.get('pitch', 0),
        ping.get('roll', 0), len(ping.get('samples', ())), echo))


def main(path):
    write = sys.stdout.write
    pings = bad = 0
    ping, samples = {}, None
    with open(path, 'rb') as capture:
        for line in capture:
            line = line.rstrip(b'\r\n')
            if samples is not None:  # inside a data block
                if line == b'##DataEnd':
                    ping['samples'], samples = samples, None
                    show(ping, write)
                    pings, ping = pings + 1, {}
                elif line:
                    try:
                        samples.append(int(line))
                    except ValueError:
                        bad += 1
            elif line.startswith(b'$') or line.startswith(b'#F '):
                body, star, given = line[1:].partition(b'*') if line[0] == 36 else line.partition(b'*')
                if not star or not checksum_ok(body, given):
                    bad += 1
                    continue
                fields = body.split(b',')
                try:
                    if line[0] != 36:
                        ping = {'hz': int(float(fields[0].split()[1]))}
                    elif fields[0].endswith(b'DBT'):
                        ping['depth'] = float(fields[3])
                    elif fields[0].endswith(b'MTW'):
                        ping['temp'] = float(fields[1])
                    elif fields[0].endswith(b'XDR') and 'pitch' not in ping:  # ends an NMEA ping
                        ping['pitch'], ping['roll'] = float(fields[2]), float(fields[6])
                        show(ping, write)
                        pings, ping = pings + 1, {}
                except (ValueError, IndexError):
                    bad += 1
            elif line == b'##DataStart':
                samples = []
            elif line.startswith(b'#'):
                key, _, value = line.rpartition(b' ')
                name = FIELDS.get(key.rstrip())
                if name:
                    try:
                        ping[name] = float(value) if name != 'hz' and name != 'rate' else int(value)
                    except ValueError:
                        bad += 1
    write('%d pings, %d bad lines\n' % (pings, bad))


if __name__ == '__main__':
    main(sys.argv[1])
