// SPDX-License-Identifier: GPL-2.0
/*
 * An I2C adapter for the test VM that, unlike i2c-stub, carries plain I2C
 * messages (I2C_FUNC_I2C, so I2C_RDWR works). One chip answers at 0x0c with
 * a 64 KiB register file addressed by a 16-bit big-endian register number:
 * a write message is the register number followed by bytes to store there;
 * a read message returns bytes from the register the last write named.
 * Other addresses get -ENXIO, as a bus with nothing at that address would.
 */
#include <linux/i2c.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/vmalloc.h>

#define CHIP_ADDRESS 0x0c
#define REGISTER_COUNT 0x10000

static u8 *registers;
static u16 register_pointer;
static DEFINE_MUTEX(register_lock);

static void chip_write(const struct i2c_msg *msg)
{
	u16 i;

	if (msg->len < 2)
		return;
	register_pointer = (msg->buf[0] << 8) | msg->buf[1];
	for (i = 2; i < msg->len; i++)
		registers[register_pointer++] = msg->buf[i];
}

static void chip_read(struct i2c_msg *msg)
{
	u16 i;

	for (i = 0; i < msg->len; i++)
		msg->buf[i] = registers[register_pointer++];
}

static int chip_xfer(struct i2c_adapter *adapter, struct i2c_msg *msgs, int count)
{
	int i;

	for (i = 0; i < count; i++) {
		if (msgs[i].addr != CHIP_ADDRESS || (msgs[i].flags & I2C_M_TEN))
			return -ENXIO;
	}
	mutex_lock(&register_lock);
	for (i = 0; i < count; i++) {
		if (msgs[i].flags & I2C_M_RD)
			chip_read(&msgs[i]);
		else
			chip_write(&msgs[i]);
	}
	mutex_unlock(&register_lock);
	return count;
}

static u32 chip_functionality(struct i2c_adapter *adapter)
{
	return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
}

static const struct i2c_algorithm chip_algorithm = {
	.master_xfer = chip_xfer,
	.functionality = chip_functionality,
};

static struct i2c_adapter chip_adapter = {
	.owner = THIS_MODULE,
	.class = I2C_CLASS_HWMON,
	.algo = &chip_algorithm,
	.name = "quorvan test chip adapter",
};

static int __init chip_adapter_init(void)
{
	int result;

	registers = vzalloc(REGISTER_COUNT);
	if (!registers)
		return -ENOMEM;
	result = i2c_add_adapter(&chip_adapter);
	if (result)
		vfree(registers);
	return result;
}

static void __exit chip_adapter_exit(void)
{
	i2c_del_adapter(&chip_adapter);
	vfree(registers);
}

module_init(chip_adapter_init);
module_exit(chip_adapter_exit);
MODULE_DESCRIPTION("I2C adapter with one register-file chip, for tests");
MODULE_LICENSE("GPL");
