package sample;

import org.apache.commons.lang3.StringUtils;

/** Prints each argument capitalized and reversed, then how it was started. */
public final class Words {
    public static void main(String[] args) {
        if (args.length == 0) {
            System.err.println("words: give at least one word");
            System.exit(3);
        }
        for (String arg : args)
            System.out.println(StringUtils.capitalize(arg) + " " + StringUtils.reverse(arg));
        System.out.println("mode=" + System.getProperty("words.mode") + " packed="
                + System.getProperty("words.packed"));
    }
}
