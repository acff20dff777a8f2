#!/usr/bin/env python3
"""Writes the test firmware image: 130,048 deterministic bytes, not a real
firmware. Its first block is 256 zero bytes; the rest comes from a fixed
linear congruential sequence, so every byte value, NUL included, occurs.

    tools/make_test_image.py resources/test-firmware.bin
"""
import sys

IMAGE_SIZE = 508 * 256


def test_image():
    data = bytearray(IMAGE_SIZE)
    state = 0x1234ABCD
    for i in range(256, IMAGE_SIZE):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        data[i] = (state >> 16) & 0xFF
    return bytes(data)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(test_image())
