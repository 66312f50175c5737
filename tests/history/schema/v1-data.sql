-- Records as a version 1 history holds them: one run, one printer that
-- received both files, one that was killed during the second.
INSERT INTO runs VALUES (1, '2026-01-05T10:00:00.000Z', '2026-01-05T10:01:00.000Z', 'farm-1', 'ops', 4242,
    'boot x start 1', '1.1.0', 'zarvik update --firmware /fw --all', '/fw', 1);
INSERT INTO run_files VALUES (1, 0, 'Main-2.4.bin', 'orbrey.bin', 70000, 'aa');
INSERT INTO run_files VALUES (1, 1, 'fonts.xbf', 'fonts.xbf', 9000, 'bb');
INSERT INTO printer_runs VALUES (1, 1, 'SN-A', 1, 5, '1-1.4', 11390, 16897, '2026-01-05T10:00:01.000Z',
    '2026-01-05T10:00:50.000Z', 'updated', NULL, '', '', '/log/1-5/libcom.log');
INSERT INTO printer_runs VALUES (2, 1, 'SN-B', 1, 6, NULL, 11390, 16897, '2026-01-05T10:00:01.000Z',
    NULL, NULL, NULL, NULL, NULL, NULL);
INSERT INTO printer_files VALUES (1, 0, 'installed');
INSERT INTO printer_files VALUES (1, 1, 'installed');
INSERT INTO printer_files VALUES (2, 0, 'installed');
INSERT INTO printer_files VALUES (2, 1, 'reached');
