package large;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.util.zip.CRC32;
import java.util.zip.Deflater;
import java.util.zip.ZipEntry;
import java.util.zip.ZipOutputStream;

/**
 * Writes a jar with large entries ("make"), and reads resources through
 * getResourceAsStream, printing each one's length and CRC-32 ("read"); run
 * with a small heap, a read must never hold an entry whole.
 */
public class LargeResources {
    public static void main(String[] args) throws Exception {
        if (args[0].equals("make")) {
            make(args[1], Long.parseLong(args[2]) << 20);
            return;
        }
        for (int i = 1; i < args.length; i++) {
            InputStream in = LargeResources.class.getClassLoader().getResourceAsStream(args[i]);
            if (in == null) {
                System.out.println(args[i] + " missing");
                continue;
            }
            CRC32 crc = new CRC32();
            long length = 0;
            byte[] buffer = new byte[3 * 1024 + 7];  // reads that straddle the stream's pieces
            try {
                int n;
                while ((n = in.read(buffer, 0, buffer.length)) > 0) {
                    crc.update(buffer, 0, n);
                    length += n;
                    // single bytes now and then
                    int b = in.read();
                    if (b >= 0) {
                        crc.update(b);
                        length++;
                    }
                }
                System.out.println(args[i] + " " + length + " " + Long.toHexString(crc.getValue()));
            } catch (IOException e) {
                System.out.println(args[i] + " IOException after " + length);
            } finally {
                in.close();
            }
        }
    }

    /** Pseudo-random bytes (xorshift); with `text`, words from a small set that deflate well. */
    static void fill(byte[] chunk, long[] state, boolean text) {
        long x = state[0];
        for (int i = 0; i < chunk.length; i += 8) {
            x ^= x << 13;
            x ^= x >>> 7;
            x ^= x << 17;
            for (int k = 0; k < 8 && i + k < chunk.length; k++) {
                chunk[i + k] = text ? (byte) ("abcd efgh\n".charAt((int) ((x >>> (k * 4)) & 0xf) % 10))
                        : (byte) (x >>> (k * 8));
            }
        }
        state[0] = x;
    }

    static void make(String path, long size) throws IOException {
        ZipOutputStream out = new ZipOutputStream(new FileOutputStream(path));
        try {
            byte[] self = readAll(LargeResources.class.getResourceAsStream("LargeResources.class"));
            out.putNextEntry(new ZipEntry("large/LargeResources.class"));
            out.write(self);
            out.closeEntry();
            byte[] chunk = new byte[1 << 20];
            long[] state = {0x9E3779B97F4A7C15L};
            // A stored entry: its sizes and CRC-32 go before the data.
            CRC32 crc = new CRC32();
            for (long done = 0; done < size; done += chunk.length) {
                fill(chunk, state, false);
                crc.update(chunk, 0, (int) Math.min(chunk.length, size - done));
            }
            ZipEntry stored = new ZipEntry("data/stored.bin");
            stored.setMethod(ZipEntry.STORED);
            stored.setSize(size);
            stored.setCompressedSize(size);
            stored.setCrc(crc.getValue());
            out.putNextEntry(stored);
            state[0] = 0x9E3779B97F4A7C15L;
            for (long done = 0; done < size; done += chunk.length) {
                fill(chunk, state, false);
                out.write(chunk, 0, (int) Math.min(chunk.length, size - done));
            }
            out.closeEntry();
            out.setLevel(Deflater.BEST_SPEED);
            out.putNextEntry(new ZipEntry("data/deflated.txt"));
            for (long done = 0; done < size; done += chunk.length) {
                fill(chunk, state, true);
                out.write(chunk, 0, (int) Math.min(chunk.length, size - done));
            }
            out.closeEntry();
        } finally {
            out.close();
        }
    }

    static byte[] readAll(InputStream in) throws IOException {
        java.io.ByteArrayOutputStream b = new java.io.ByteArrayOutputStream();
        byte[] buffer = new byte[8192];
        int n;
        while ((n = in.read(buffer)) > 0) {
            b.write(buffer, 0, n);
        }
        in.close();
        return b.toByteArray();
    }
}
